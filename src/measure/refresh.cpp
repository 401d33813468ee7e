#include "measure/refresh.h"
