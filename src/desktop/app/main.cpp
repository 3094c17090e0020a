#include "desktop/app/desktop_main.h"

int main(int argc, char** argv) {
    return kalvo::RunDesktop(argc, argv);
}
