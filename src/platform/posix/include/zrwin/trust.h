#pragma once

#include "zrwin/types.h"
#include "zrwin/winerror.h"
