#include "work.h"

// The service console.
void work::procService(ssock*)
{
}
