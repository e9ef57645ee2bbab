#include "pack_writing.h"

int main(int argc, char** argv) {
  return zelto::run_pack(argc, argv);
}
