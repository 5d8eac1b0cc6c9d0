// Initialisation, mutexes, one-time initialisation, thread-local slots and atomic counters.
#include "ust.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>

ustResult ustInitialize(void) {
    return 0;
}

ustResult ustMutexInit(ustMutex *mutex) {
    if (!mutex) return UST_E_INVALID_ARG;
    int rc = pthread_mutex_init(&mutex->impl, nullptr);
    return rc ? UST_SYSTEM_ERROR(rc) : 0;
}

ustResult ustMutexLock(ustMutex *mutex) {
    if (!mutex) return UST_E_INVALID_ARG;
    int rc = pthread_mutex_lock(&mutex->impl);
    return rc ? UST_SYSTEM_ERROR(rc) : 0;
}

ustResult ustMutexUnlock(ustMutex *mutex) {
    if (!mutex) return UST_E_INVALID_ARG;
    int rc = pthread_mutex_unlock(&mutex->impl);
    return rc ? UST_SYSTEM_ERROR(rc) : 0;
}

ustResult ustMutexDestroy(ustMutex *mutex) {
    if (!mutex) return UST_E_INVALID_ARG;
    int rc = pthread_mutex_destroy(&mutex->impl);
    return rc ? UST_SYSTEM_ERROR(rc) : 0;
}

namespace {

// A once word moves 0 (not run) -> 1 (running) -> 2 (done). Callers that find it running wait
// on one process-wide condition; initialisers are rare and short, so sharing it costs nothing.
constexpr int32_t kOnceIdle = 0;
constexpr int32_t kOnceRunning = 1;
constexpr int32_t kOnceDone = 2;

std::mutex onceMutex;
std::condition_variable onceDone;

std::atomic_ref<int32_t> onceState(ustOnce *once) {
    return std::atomic_ref<int32_t>(*const_cast<int32_t *>(once));
}

}  // namespace

ustResult ustInitOnce(ustOnce *once, void (*function)(void)) {
    if (!once || !function) return UST_E_INVALID_ARG;
    auto state = onceState(once);
    if (state.load(std::memory_order_acquire) == kOnceDone) return 0;

    int32_t expected = kOnceIdle;
    if (state.compare_exchange_strong(expected, kOnceRunning, std::memory_order_acq_rel)) {
        function();
        {
            std::lock_guard lock(onceMutex);
            state.store(kOnceDone, std::memory_order_release);
        }
        onceDone.notify_all();
        return 0;
    }
    std::unique_lock lock(onceMutex);
    onceDone.wait(lock, [&] { return state.load(std::memory_order_acquire) == kOnceDone; });
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
