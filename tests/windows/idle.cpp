// Waits half a minute and ends: a process for the guard's scan to find.
#include <windows.h>

int main() {
  Sleep(30000);
  return 0;
}
