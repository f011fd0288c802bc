#include "platform/RHeap.h"

#include <malloc.h>

namespace vantor {

void HeapReturnFree() {
  ::malloc_trim(0);
}

}  // namespace vantor
