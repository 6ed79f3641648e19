// Vantorel program entry. The main window is not assembled yet: the program says so and exits.
#include <cstdio>

int main() {
    std::fprintf(stderr,
                 "Vantorel " VANTOREL_VERSION_TEXT ": the libraries are built, but the desktop "
                 "program is not assembled yet (the main window is still to come).\n");
    return 0;
}
