#include "console/shell.h"

int main() { return RunProgram(); }
