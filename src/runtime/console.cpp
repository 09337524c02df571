#include "runtime/console.h"

// Until the terminal device is in place, Output stays on standard output.
void InitCrt() {}
void RestoreTerminal() {}
uint8_t WhereY() { return 1; }
void GotoXY(uint8_t, uint8_t) {}
