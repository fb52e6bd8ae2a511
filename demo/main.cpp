#include "veluna.h"

int main(int argc, char** argv) { return kv::veluna_main(argc, argv); }
