#include "desktop/app/program.h"

int main(int argc, char** argv) {
    return kalvo::RunProgram(argc, argv);
}
