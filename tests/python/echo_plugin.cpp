// SPDX-License-Identifier: Apache-2.0
// The plug-in of the Python tests, through the C++ header that echo.idl gives. Its echo object's
// echoT returns a copy of a, moves the caller's c into b and leaves a copy of a in c, so each
// value crosses in every direction. Both classes call a callback (implemented by the test in
// Python) from several threads at once.
#include <atomic>
#include <cstring>
#include <thread>
#include <type_traits>
#include <vector>

#include "echo.hpp"

namespace {

// Copies under the out rules: everything allocated with kivMalloc.
char *copy(const char *s) {
    return kivStrDup(s ? s : "");
}

kivWChar *copy(const kivWChar *s) {
    size_t n = 0;
    while (s && s[n]) ++n;
    auto *out = static_cast<kivWChar *>(kivMalloc((n + 1) * sizeof(kivWChar)));
    if (n) std::memcpy(out, s, n * sizeof *out);
    out[n] = 0;
    return out;
}

template <class T>
kiv::sequence<T> copy(const kiv::sequence<T> *s) {
    kiv::sequence<T> out{s->length, s->length, nullptr};
    if (s->length) out.buffer = static_cast<T *>(kivMalloc(s->length * sizeof(T)));
    for (uint32_t i = 0; i < s->length; ++i) {
        if constexpr (std::is_pointer_v<T>)
            out.buffer[i] = copy(s->buffer[i]);
        else
            out.buffer[i] = s->buffer[i];
    }
    return out;
}

Echo::Point copy(const Echo::Point *p) {
    return *p;
}

Echo::Record copy(const Echo::Record *r) {
    return {r->where, copy(r->name), copy(&r->values), r->color, copy(r->label)};
}

Echo::Shape copy(const Echo::Shape *s) {
    Echo::Shape out = *s;
    if (s->_d != Echo::Color::RED && s->_d != Echo::Color::GREEN) out._u.label = copy(s->_u.label);
    return out;
}

Echo::ICallback *copy(Echo::ICallback *cb) {
    if (cb) cb->addRef();
    return cb;
}

template <class T>
kivResult echoValue(T a, T *b, T *c, T *result) {
    *b = *c;
    *c = a;
    *result = a;
    return KIV_S_OK;
}

template <class T, class In>
kivResult echoCopy(In a, T *b, T *c, T *result) {
    *b = *c;
    *c = copy(a);
    *result = copy(a);
    return KIV_S_OK;
}

// cb->apply(x) for x in 0..calls-1 on each of `threads` threads: the sum of the results.
kivResult applyOnThreads(Echo::ICallback *cb, int32_t threads, int32_t calls, int64_t *result) {
    if (!cb || threads < 1 || threads > 64 || calls < 0) return KIV_E_INVALIDARG;
    std::atomic<int64_t> sum{0};
    std::atomic<kivResult> failure{KIV_S_OK};
    std::vector<std::thread> workers;
    for (int32_t t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int32_t x = 0; x < calls && failure == KIV_S_OK; ++x) {
                int32_t y = 0;
                kivResult rc = cb->apply(x, &y);
                if (KIV_FAILED(rc)) failure = rc;
                sum += y;
            }
        });
    }
    for (auto &worker : workers) worker.join();
    if (KIV_FAILED(failure)) return failure;
    *result = sum;
    return KIV_S_OK;
}

#define ECHO_VALUE(Name, T)                                     \
    kivResult echo##Name(T a, T *b, T *c, T *result) override { \
        return counted(echoValue(a, b, c, result));             \
    }
#define ECHO_COPY(Name, T, In)                                   \
    kivResult echo##Name(In a, T *b, T *c, T *result) override { \
        return counted(echoCopy(a, b, c, result));               \
    }

// Counts the calls that reach it, but not those of add, sumPoint and the value attribute.
class EchoObject final : public kiv::object<Echo::IEcho> {
  public:
    static constexpr const char *clsid = Echo::ECHO_CLASS;

    ECHO_VALUE(Boolean, kivBoolean)
    ECHO_VALUE(Octet, uint8_t)
    ECHO_VALUE(Char, char)
    ECHO_VALUE(Wchar, kivWChar)
    ECHO_VALUE(Short, int16_t)
    ECHO_VALUE(UShort, uint16_t)
    ECHO_VALUE(Long, int32_t)
    ECHO_VALUE(ULong, uint32_t)
    ECHO_VALUE(LongLong, int64_t)
    ECHO_VALUE(ULongLong, uint64_t)
    ECHO_VALUE(Float, float)
    ECHO_VALUE(Double, double)
    ECHO_VALUE(Decimal32, kivDecimal32)
    ECHO_VALUE(Decimal64, kivDecimal64)
    ECHO_VALUE(Decimal128, kivDecimal128)
    ECHO_VALUE(Color, Echo::Color)
    ECHO_COPY(String, char *, const char *)
    ECHO_COPY(WString, kivWChar *, const kivWChar *)
    ECHO_COPY(Point, Echo::Point, const Echo::Point *)
    ECHO_COPY(Record, Echo::Record, const Echo::Record *)
    ECHO_COPY(Shape, Echo::Shape, const Echo::Shape *)
    ECHO_COPY(Longs, Echo::Longs, const Echo::Longs *)
    ECHO_COPY(Strings, Echo::Strings, const Echo::Strings *)
    ECHO_COPY(Bytes, kiv::sequence<uint8_t>, const kiv::sequence<uint8_t> *)
    ECHO_COPY(Callback, Echo::ICallback *, Echo::ICallback *)

    kivResult echoShortString(const char *a, char **result) override {
        *result = copy(a);
        return counted(KIV_S_OK);
    }
    kivResult echoFour(const kiv::sequence<int32_t> *a, kiv::sequence<int32_t> *result) override {
        *result = copy(a);
        return counted(KIV_S_OK);
    }
    kivResult echoTriple(const Echo::Triple a, Echo::Triple b, Echo::Triple c) override {
        std::memcpy(b, c, sizeof(Echo::Triple));
        std::memcpy(c, a, sizeof(Echo::Triple));
        return counted(KIV_S_OK);
    }
    kivResult add(int32_t a, int32_t b, int32_t *result) override {
        *result = static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
        return KIV_S_OK;
    }
    kivResult sumPoint(const Echo::Point *p, int32_t *result) override {
        return add(p->x, p->y, result);
    }
    kivResult fail(uint32_t code) override { return counted(code); }
    kivResult get_value(int32_t *value) override {
        *value = value_;
        return KIV_S_OK;
    }
    kivResult set_value(int32_t value) override {
        value_ = value;
        return KIV_S_OK;
    }
    kivResult get_calls(uint32_t *value) override {
        *value = calls_;
        return KIV_S_OK;
    }
    kivResult callApply(Echo::ICallback *cb, int32_t threads, int32_t calls,
                        int64_t *result) override {
        return counted(applyOnThreads(cb, threads, calls, result));
    }
    kivResult callDescribe(Echo::ICallback *cb, const char *text, char **result) override {
        counted(KIV_S_OK);
        if (!cb) return KIV_E_INVALIDARG;
        int32_t length = 0;
        kivResult rc = cb->describe(text, &length, result);
        if (KIV_SUCCEEDED(rc) && static_cast<size_t>(length) != std::strlen(*result)) {
            kivFree(*result);
            *result = nullptr;
            return KIV_E_UNEXPECTED;
        }
        return rc;
    }

  private:
    kivResult counted(kivResult rc) {
        ++calls_;
        return rc;
    }
    std::atomic<uint32_t> calls_{0};
    std::atomic<int32_t> value_{0};
};

class Runner final : public kiv::object<Echo::IRunner> {
  public:
    static constexpr const char *clsid = Echo::RUNNER_CLASS;
    kivResult callApply(Echo::ICallback *cb, int32_t threads, int32_t calls,
                        int64_t *result) override {
        return applyOnThreads(cb, threads, calls, result);
    }
};

}  // namespace

KIV_PLUGIN_CLASSES(EchoObject, Runner)
