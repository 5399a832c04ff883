#include "UI/Kit/StillMap.h"
