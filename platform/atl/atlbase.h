// The basics: critical sections, thread models, smart pointers, strings,
// variants and the module object.
#pragma once
#include "atldef.h"
#include "atlcore.h"
#include "atlcomcli.h"
#include "atlbstr.h"
#include "atlvariant.h"
#include "atlmodule.h"
