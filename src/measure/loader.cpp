#include "measure/loader.h"
