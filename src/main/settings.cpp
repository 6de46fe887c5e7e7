// settings.cpp: the program-wide settings, owned by the command line.
#include "settings.h"

std::string eventFileName;
int portAddr = 0;
bool checkMode = false;
bool learnMode = false;
bool verbose = false;
