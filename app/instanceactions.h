#pragma once

#include "app/instancemessage.h"

class AppDelegate;

// Carries out an action that came from the command line, as the menu or hot key would.
void performInstanceAction(AppDelegate& delegate, InstanceAction action);
