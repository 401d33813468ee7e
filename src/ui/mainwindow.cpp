#include "ui/mainwindow.h"
