// 3pupdate: applies the update archive 3pupdate.z in the current folder to
// the installed product. Command-line arguments are ignored.
#include "control/update_driver.h"

int main() { RunUpdate(); }
