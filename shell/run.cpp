// The program: start-up once, then menus and commands until a quit answer.
#include "link/link_state.h"
#include "shell/shell.h"

int RunProgram() {
    StartUp();
    for (;;) {
        while (!ShowMenu()) {
        }
        DispatchCommand(CommandCode);
    }
}
