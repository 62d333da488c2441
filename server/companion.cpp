#include "work.h"

std::vector<int> lPID;

// Companion programs named by the configuration.
void work::startThread()
{
}
