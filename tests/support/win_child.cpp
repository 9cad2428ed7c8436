// The Windows live table test's child: "busy" spins until it is ended, "sleep" waits until it is
// ended, anything else exits at once.
#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  if (std::strcmp(mode, "busy") == 0) {
    for (volatile unsigned long spin = 0;; spin = spin + 1) {
    }
  }
  if (std::strcmp(mode, "sleep") == 0) ::Sleep(INFINITE);
  return 0;
}
