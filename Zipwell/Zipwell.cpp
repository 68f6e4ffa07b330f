#include "Zipwell/Zipwell.h"
