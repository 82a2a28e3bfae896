#include "patch_run.hpp"

int main(int argc, char** argv) {
    return run_patch(argc, argv);
}
