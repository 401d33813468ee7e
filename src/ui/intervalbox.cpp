#include "ui/intervalbox.h"
