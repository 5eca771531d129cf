// 3pupdate: applies the update archive 3pupdate.z in the current folder to
// the installed product. The options are read by options.cpp; any other
// argument is ignored.
#include "control/options.h"
#include "control/update_driver.h"

int main(int argc, char** argv) { RunUpdate(ParseOptions(argc, argv)); }
