#include "imagetransfer.h"
