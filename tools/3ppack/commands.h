// The archive tool's commands other than create: each takes the arguments
// after its name and returns the exit status.
#pragma once

int RunList(int argc, char** argv);
int RunTest(int argc, char** argv);
int RunExtract(int argc, char** argv);
