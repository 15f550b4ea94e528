#pragma once
/// \file
/// The charset translator lives in core/ (net/ and dns/ use it too); this
/// header keeps code that includes it from message/ compiling.
#include "core/qmTranslator.h"
