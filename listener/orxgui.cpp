// orxgui: the listener daemon through which a remote console administers keys and configuration.
#include <vorngui/main.h>

int main(int argc, char** argv) { return vorngui::gGUIMain(argc, argv); }
