#include "overlay/memoryrelease.h"

#include <QPixmapCache>

#ifdef __GLIBC__
#include <malloc.h>
#endif

void releaseFreedMemory()
{
    // Evicting through the limit keeps the cache's sweep timer, which drops the key table's
    // stale entries; clear() would stop that timer and leave the table as it is.
    const int limit = QPixmapCache::cacheLimit();
    QPixmapCache::setCacheLimit(0);
    QPixmapCache::setCacheLimit(limit);
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}
