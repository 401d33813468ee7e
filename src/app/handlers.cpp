#include "app/handlers.h"
