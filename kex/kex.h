#pragma once
// Umbrella header of the framework stand-in.
#include "kex/Class.h"
#include "kex/Enum.h"
#include "kex/Error.h"
#include "kex/File.h"
#include "kex/Memory.h"
#include "kex/Object.h"
#include "kex/Properties.h"
#include "kex/Task.h"
#include "kex/Thread.h"
#include "kex/ValueList.h"
#include "kex/Values.h"
