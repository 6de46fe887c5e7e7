// settings.cpp: the program-wide settings, filled by the command line.
#include "settings.h"

std::string eventFileName;
int portAddr = 0;
bool relayChosen = false;
std::string relayBoard;
bool checkMode = false;
bool learnMode = false;
bool verbose = false;
