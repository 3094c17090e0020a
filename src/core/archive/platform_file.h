#include "core/common/file_ops.h"
