// SPDX-License-Identifier: Apache-2.0
// Initialisation, mutexes, one-time initialisation, thread-local slots and atomic counters.
#include "ust.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

static_assert(sizeof(pthread_mutex_t) <= sizeof(ustMutex), "UST_MUTEX_SIZE is too small");
static_assert(alignof(pthread_mutex_t) <= alignof(ustMutex), "ustMutex is under-aligned");

pthread_mutex_t *native(ustMutex *mutex) {
    return reinterpret_cast<pthread_mutex_t *>(mutex->storage.bytes);
}

}  // namespace

ustResult ustInitialize(void) {
    return 0;
}

ustResult ustMutexInit(ustMutex *mutex) {
    if (!mutex) return UST_E_INVALID_ARG;
    int rc = pthread_mutex_init(native(mutex), nullptr);
    return rc ? UST_SYSTEM_ERROR(rc) : 0;
}

ustResult ustMutexLock(ustMutex *mutex) {
    if (!mutex) return UST_E_INVALID_ARG;
    int rc = pthread_mutex_lock(native(mutex));
    return rc ? UST_SYSTEM_ERROR(rc) : 0;
}

ustResult ustMutexUnlock(ustMutex *mutex) {
    if (!mutex) return UST_E_INVALID_ARG;
    int rc = pthread_mutex_unlock(native(mutex));
    return rc ? UST_SYSTEM_ERROR(rc) : 0;
}

ustResult ustMutexDestroy(ustMutex *mutex) {
    if (!mutex) return UST_E_INVALID_ARG;
    int rc = pthread_mutex_destroy(native(mutex));
    return rc ? UST_SYSTEM_ERROR(rc) : 0;
}

namespace {

// A once word moves 0 (not run) -> 1 (running) -> 2 (done). Callers that find it running wait
// on the word itself, so the runtime needs no lock of its own for this.
constexpr int32_t kOnceIdle = 0;
constexpr int32_t kOnceRunning = 1;
constexpr int32_t kOnceDone = 2;

std::atomic_ref<int32_t> onceState(ustOnce *once) {
    return std::atomic_ref<int32_t>(*const_cast<int32_t *>(once));
}

}  // namespace

ustResult ustInitOnce(ustOnce *once, void (*function)(void)) {
    if (!once || !function) return UST_E_INVALID_ARG;
    auto state = onceState(once);
    int32_t seen = state.load(std::memory_order_acquire);
    if (seen == kOnceDone) return 0;

    int32_t expected = kOnceIdle;
    if (state.compare_exchange_strong(expected, kOnceRunning, std::memory_order_acq_rel)) {
        function();
        state.store(kOnceDone, std::memory_order_release);
        state.notify_all();
        return 0;
    }
    while ((seen = state.load(std::memory_order_acquire)) != kOnceDone) state.wait(seen);
    return 0;
}

ustResult ustTlsKeyCreate(ustTlsKey *key, void (*destructor)(void *)) {
    if (!key) return UST_E_INVALID_ARG;
    pthread_key_t k;
    int rc = pthread_key_create(&k, destructor);
    if (rc) return UST_SYSTEM_ERROR(rc);
    *key = static_cast<ustTlsKey>(k);
    return 0;
}

void *ustTlsGet(ustTlsKey key) {
    return pthread_getspecific(static_cast<pthread_key_t>(key));
}

ustResult ustTlsSet(ustTlsKey key, void *value) {
    int rc = pthread_setspecific(static_cast<pthread_key_t>(key), value);
    return rc ? UST_SYSTEM_ERROR(rc) : 0;
}

uint32_t ustAtomicIncrement(volatile uint32_t *count) {
    return __atomic_add_fetch(count, 1u, __ATOMIC_SEQ_CST);
}

uint32_t ustAtomicDecrement(volatile uint32_t *count) {
    return __atomic_sub_fetch(count, 1u, __ATOMIC_SEQ_CST);
}
