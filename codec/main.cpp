#include "front_end.h"

int main(int argc, char** argv) { return kv::kelvane_main(argc, argv); }
