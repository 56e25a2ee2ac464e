// The program: start-up once, then menus and commands until a quit answer.
#include "console/shell.h"
#include "link/link_state.h"

int RunProgram() {
    StartUp();
    for (;;) {
        while (!ShowMenu()) {
        }
        DispatchCommand(CommandCode);
    }
}
