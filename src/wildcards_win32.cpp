// The command's arguments reach `main` as the runtime's start-up leaves them
// after expanding "*" and "?" into the names of the matching files, as a
// shell does; a pattern that matches nothing is passed on as it is. The
// mingw-w64 start-up does so when the program defines this variable as -1
// (an MSVC build links setargv.obj instead). Only the command is linked with
// this file: the library and its tests take their arguments literally.
extern "C" {
int _dowildcard = -1;
}
