// File and memory streams: the interfaces and both implementations.
#pragma once

#include "support/IVxStream.h"
#include "support/VxFileStream.h"
#include "support/VxMemoryStream.h"
