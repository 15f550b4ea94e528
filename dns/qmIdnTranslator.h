#pragma once
/// \file
/// The IDN translator lives in core/ (message/ and mail/ use it too); this
/// header keeps code that includes it from dns/ compiling.
#include "core/qmIdnTranslator.h"
