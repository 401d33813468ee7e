#include "ui/tooltip.h"
