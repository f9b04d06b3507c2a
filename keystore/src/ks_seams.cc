#include "ks_seams.h"

namespace ks {
constinit Seams seams;
}
