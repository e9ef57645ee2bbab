#include "sort_main.h"

int main(int argc, char** argv) {
  return zelto::sorter::run_sort_command(argc, argv);
}
