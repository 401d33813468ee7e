#include "ui/serverlist.h"
