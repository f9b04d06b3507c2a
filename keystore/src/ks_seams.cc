// SPDX-License-Identifier: Apache-2.0
#include "ks_seams.h"

namespace ks {
constinit Seams seams;
}
