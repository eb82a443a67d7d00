#include "app/update.h"

int main(int argc, char** argv) {
    return RunUpdate(argc, argv);
}
