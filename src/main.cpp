#include "zeltoMain.h"

int main(int argc, char** argv) {
  return zelto::run_command(argc, argv);
}
