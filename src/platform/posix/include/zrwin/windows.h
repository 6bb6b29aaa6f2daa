// Umbrella header of the POSIX layer: everything product code may call.
#pragma once

#include "zrwin/types.h"
#include "zrwin/winerror.h"
#include "zrwin/ntstatus.h"
#include "zrwin/winternl.h"
#include "zrwin/sync.h"
#include "zrwin/fileapi.h"
#include "zrwin/registry.h"
#include "zrwin/loader.h"
#include "zrwin/sysinfo.h"
#include "zrwin/crypt.h"
#include "zrwin/trust.h"
#include "zrwin/oleauto.h"
#include "zrwin/psapi.h"
#include "zrwin/winuser.h"
