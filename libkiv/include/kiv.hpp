// SPDX-License-Identifier: Apache-2.0
/*
 * kiv for C++ (header-only, C++17): counted interface pointers, C++ implementations of
 * interfaces, RAII for type library handles and registry keys, and result codes as exceptions
 * or as values. Nothing here crosses the library's C boundary: it calls the C interface only.
 *
 * ```
 *   #include "greeter.hpp"            // generated: kiv tlib header greeter.tlb --lang c++
 *
 *   // Calling: a failure becomes a kiv::error (check) or stays a value (kiv::result).
 *   kiv::check(kivInitialize());
 *   kiv::ref<Demo::IGreeter> greeter =
 *       kiv::create<Demo::IGreeter>("3e5c9a70-4b1d-4c8e-9f2a-6d7b8c9e0a15").value();
 *   char *text = nullptr;
 *   kiv::check(greeter->greet("Ada", &text));
 *   std::puts(text);
 *   kivFree(text);
 *
 *   // Implementing: kiv::object<I, J...> counts references, answers queryInterface for the
 *   // interfaces and their bases, and deletes the object at its last release.
 *   class Greeter final : public kiv::object<Demo::IGreeter> {
 *     public:
 *       static constexpr const char *clsid = Demo::GREETER_CLASS;
 *       kivResult greet(const char *name, char **result) override;
 *       kivResult get_greetings(uint32_t *value) override;
 *   };
 *   kiv::ref<Demo::IGreeter> made = kiv::make<Greeter>();
 *
 *   // A plug-in: the entry point and one object factory per class, in one line.
 *   KIV_PLUGIN_CLASSES(Greeter)
 * ```
 *
 * kiv::ref works with the C mapping's structures too (kiv::ref<Demo_IGreeter>), since every
 * interface pointer leads to a function table that begins with the same seven slots.
 */
#ifndef KIV_HPP
#define KIV_HPP

#if (defined(_MSVC_LANG) ? _MSVC_LANG : __cplusplus) < 201703L
#error "kiv.hpp needs C++17 or later (-std=c++17)"
#else

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "kiv.h"

namespace kiv {

// ---- results -------------------------------------------------------------------------------

// A failed result code as an exception; what() is the code's text.
class error : public std::exception {
  public:
    explicit error(kivResult code) : code_(code), text_(kivStrError(code)) {}
    kivResult code() const noexcept { return code_; }
    const char *what() const noexcept override { return text_.c_str(); }

  private:
    kivResult code_;
    std::string text_;
};

// Throws kiv::error for a failure code; success codes (bit 31 clear) are returned.
inline kivResult check(kivResult code) {
    if (KIV_FAILED(code)) throw error(code);
    return code;
}

// The failure that a kiv::result holds instead of a value.
struct failure {
    kivResult code;
};

// A value or the failure code that prevented it. value() throws kiv::error on a failure.
template <class T>
class result {
  public:
    result(T value) : code_(KIV_S_OK), value_(std::move(value)) {}
    result(failure f) : code_(KIV_FAILED(f.code) ? f.code : KIV_E_UNEXPECTED) {}

    bool ok() const noexcept { return KIV_SUCCEEDED(code_); }
    explicit operator bool() const noexcept { return ok(); }
    kivResult code() const noexcept { return code_; }
    T &value() & {
        check(code_);
        return value_;
    }
    T &&value() && {
        check(code_);
        return std::move(value_);
    }
    T value_or(T fallback) && { return ok() ? std::move(value_) : std::move(fallback); }
    T &operator*() & { return value(); }
    T *operator->() { return &value(); }

  private:
    kivResult code_;
    T value_{};
};

// ---- interface pointers --------------------------------------------------------------------

// The base of every C++ interface class: the seven slots that begin every function table. The
// destructor is not in the table; objects are freed by their own release.
struct IUnknown {
    using base = void;
    static constexpr const char *iid = KIV_IID_IUNKNOWN;
    virtual kivResult comQueryInterface(const void *comIid, void **out) = 0;
    virtual uint32_t comAddRef() = 0;
    virtual uint32_t comRelease() = 0;
    virtual kivResult queryInterface(const char *iid, void **out) = 0;
    virtual uint32_t addRef() = 0;
    virtual uint32_t release() = 0;
    virtual const char *interfaceId() = 0;

  protected:
    ~IUnknown() = default;
};

// The record of an IDL sequence: `length` valid elements in a buffer with room for `maximum`.
template <class T>
struct sequence {
    uint32_t length;
    uint32_t maximum;
    T *buffer;
};

namespace detail {
// Any interface pointer, C structure or C++ class alike, reached through the base slots.
inline ::IUnknown *unknown(const void *p) {
    return static_cast< ::IUnknown *>(const_cast<void *>(p));
}
template <class T, class = void>
struct has_iid : std::false_type {};
template <class T>
struct has_iid<T, std::void_t<decltype(T::iid)> > : std::true_type {};
}  // namespace detail

// A counted interface pointer: holds one reference and releases it when it goes.
template <class T>
class ref {
  public:
    ref() noexcept = default;
    ref(std::nullptr_t) noexcept {}
    ref(const ref &other) noexcept : p_(other.p_) { add(); }
    ref(ref &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    // From a pointer to a derived class (an implementation to its interface).
    template <class U, class = std::enable_if_t<std::is_convertible_v<U *, T *> > >
    ref(ref<U> other) noexcept : p_(other.detach()) {}
    ref &operator=(ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ref() { reset(); }

    // Takes over the reference that `p` carries (an out parameter's, a new object's).
    static ref adopt(T *p) noexcept {
        ref r;
        r.p_ = p;
        return r;
    }
    // Adds a reference of its own to a borrowed pointer.
    static ref share(T *p) noexcept {
        ref r;
        r.p_ = p;
        r.add();
        return r;
    }

    T *get() const noexcept { return p_; }
    T *operator->() const noexcept { return p_; }
    T &operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    void reset() noexcept {
        T *p = std::exchange(p_, nullptr);
        if (!p) return;
        if constexpr (std::is_base_of_v<IUnknown, T>)
            p->release();
        else
            detail::unknown(p)->vtbl->release(p);
    }
    // Gives up the reference to the caller.
    T *detach() noexcept { return std::exchange(p_, nullptr); }
    // For out parameters: releases what is held and returns where the callee stores the new
    // pointer, e.g. kivCreateInstance(..., r.put()).
    void **put() noexcept {
        reset();
        return reinterpret_cast<void **>(&p_);
    }
    // The same for out parameters of the interface's own type (a generated method's T **).
    T **out() noexcept {
        reset();
        return &p_;
    }

    // Another interface of the same object, by id.
    template <class U>
    result<ref<U> > query(const char *iid) const {
        if (!p_) return failure{KIV_E_INVALIDARG};
        ref<U> out;
        kivResult rc;
        if constexpr (std::is_base_of_v<IUnknown, T>)
            rc = p_->queryInterface(iid, out.put());
        else
            rc = detail::unknown(p_)->vtbl->queryInterface(p_, iid, out.put());
        if (KIV_FAILED(rc)) return failure{rc};
        return out;
    }
    template <class U, class = std::enable_if_t<detail::has_iid<U>::value> >
    result<ref<U> > query() const {
        return query<U>(U::iid);
    }

    // Whether both pointers lead to one object (through IUnknown); false when that cannot be
    // told.
    template <class U>
    bool same_object(const ref<U> &other) const noexcept {
        return kivSameObject(p_, other.get()) == 0;
    }

  private:
    void add() noexcept {
        if (!p_) return;
        if constexpr (std::is_base_of_v<IUnknown, T>)
            p_->addRef();
        else
            detail::unknown(p_)->vtbl->addRef(p_);
    }
    T *p_ = nullptr;
};

// A new object of a registered class, asked for interface T.
template <class T>
result<ref<T> > create(const char *clsid, const char *iid) {
    ref<T> out;
    kivResult rc = kivCreateInstance(clsid, nullptr, KIV_CLSCTX_INPROC, nullptr, iid, out.put());
    if (KIV_FAILED(rc)) return failure{rc};
    return out;
}
template <class T, class = std::enable_if_t<detail::has_iid<T>::value> >
result<ref<T> > create(const char *clsid) {
    return create<T>(clsid, T::iid);
}

// ---- implementing interfaces in C++ --------------------------------------------------------

namespace detail {
// Whether interface J or one of its bases has the id `iid`.
template <class J>
bool implements(const char *iid) noexcept {
    if (kivCompareIID(iid, J::iid) == 0) return true;
    if constexpr (std::is_void_v<typename J::base>)
        return false;
    else
        return implements<typename J::base>(iid);
}

// Gives each interface's table its own interfaceId; the other slots are overridden once, in
// kiv::object, for every table at the same time.
template <class I>
struct interface_slot : I {
    const char *interfaceId() override { return I::iid; }

  protected:
    ~interface_slot() = default;
};
}  // namespace detail

// Reference counting and queryInterface for an object that implements the interfaces I, J...
// (and so their bases): one count for the object, and queryInterface over every interface in
// the order given. The first interface is the object's identity (what IUnknown answers with).
// It starts with one reference, owned by its creator, and deletes itself at the last release:
// create it with new (kiv::make does).
template <class I, class... More>
class object : public detail::interface_slot<I>, public detail::interface_slot<More>... {
  public:
    kivResult comQueryInterface(const void *comIid, void **out) override {
        return kivComQueryInterface(identity(), comIid, out);
    }
    uint32_t comAddRef() override { return addRef(); }
    uint32_t comRelease() override { return release(); }
    kivResult queryInterface(const char *iid, void **out) override {
        if (!out) return KIV_E_INVALIDARG;
        *out = nullptr;
        if (!iid) return KIV_E_INVALIDARG;
        *out = find<I, More...>(iid);
        if (!*out) return KIV_E_NOINTERFACE;
        addRef();
        return KIV_S_OK;
    }
    uint32_t addRef() override { return references_.fetch_add(1) + 1; }
    uint32_t release() override {
        uint32_t count = references_.fetch_sub(1) - 1;
        if (count == 0) delete this;
        return count;
    }

  protected:
    object() = default;
    object(const object &) = delete;
    object &operator=(const object &) = delete;
    // After the interfaces' slots in each table, so the layout of each interface is unchanged.
    virtual ~object() = default;

  private:
    I *identity() noexcept { return static_cast<I *>(this); }
    // The first listed interface that is, or derives from, the one asked for.
    template <class J, class... Rest>
    void *find(const char *iid) noexcept {
        if (kivCompareIID(iid, KIV_IID_IUNKNOWN) == 0) return identity();
        if (detail::implements<J>(iid)) return static_cast<J *>(this);
        if constexpr (sizeof...(Rest) > 0)
            return find<Rest...>(iid);
        else
            return nullptr;
    }
    std::atomic<uint32_t> references_{1};
};

// A new C++ object, its creator's reference in the ref.
template <class Impl, class... Args>
ref<Impl> make(Args &&...args) {
    return ref<Impl>::adopt(new Impl(std::forward<Args>(args)...));
}

// ---- plug-ins ------------------------------------------------------------------------------

// The object factory interface of kiv_com.h as a C++ class, with the same table.
struct IObjectFactory : IUnknown {
    using base = IUnknown;
    static constexpr const char *iid = KIV_IID_IOBJECTFACTORY;
    // A non-null outer object asks for aggregation, which these factories refuse.
    virtual kivResult createInstance(void *outer, const char *iid, void **out) = 0;
    virtual kivResult lockServer(int32_t lock) = 0;

  protected:
    ~IObjectFactory() = default;
};

// The factory of the C++ class Impl: one static object per class that lives as long as the
// plug-in, so its reference count guards nothing. createInstance makes `new Impl()` and asks it
// for the interface; an exception from the constructor becomes a result code (kiv::error its
// own, std::bad_alloc KIV_E_OUT_OF_MEMORY, anything else KIV_E_FAIL).
template <class Impl>
class factory final : public IObjectFactory {
  public:
    static factory &instance() noexcept {
        static factory f;
        return f;
    }

    kivResult comQueryInterface(const void *comIid, void **out) override {
        return kivComQueryInterface(this, comIid, out);
    }
    uint32_t comAddRef() override { return addRef(); }
    uint32_t comRelease() override { return release(); }
    kivResult queryInterface(const char *iid, void **out) override {
        if (!out) return KIV_E_INVALIDARG;
        *out = nullptr;
        if (!iid) return KIV_E_INVALIDARG;
        if (!detail::implements<IObjectFactory>(iid)) return KIV_E_NOINTERFACE;
        *out = this;
        addRef();
        return KIV_S_OK;
    }
    uint32_t addRef() override { return references_.fetch_add(1) + 1; }
    uint32_t release() override { return references_.fetch_sub(1) - 1; }
    const char *interfaceId() override { return iid; }

    kivResult createInstance(void *outer, const char *iid, void **out) override {
        if (!out) return KIV_E_INVALIDARG;
        *out = nullptr;
        if (outer) return KIV_E_NO_AGGREGATION;
        if (!iid) return KIV_E_INVALIDARG;
        try {
            // The answer holds the only reference, or nothing does.
            ref<Impl> made = make<Impl>();
            return made->queryInterface(iid, out);
        } catch (const error &e) {
            return e.code();
        } catch (const std::bad_alloc &) {
            return KIV_E_OUT_OF_MEMORY;
        } catch (...) {
            return KIV_E_FAIL;
        }
    }
    kivResult lockServer(int32_t) override { return KIV_S_OK; }

  private:
    factory() = default;
    std::atomic<uint32_t> references_{0};
};

// The body of a plug-in's entry point for the classes Impl...: each names the class it serves
// in a static member `clsid` (a UUID text). KIV_PLUGIN_CLASSES defines the entry point itself.
template <class... Impl>
kivResult get_object_factory(const char *clsid, const char *iid, void **out) noexcept {
    if (!out) return KIV_E_INVALIDARG;
    *out = nullptr;
    if (!clsid || !iid) return KIV_E_INVALIDARG;
    kivResult rc = KIV_E_NO_FACTORY;
    // The first class whose id matches answers; the fold stops there.
    (void)((kivCompareCLSID(clsid, Impl::clsid) == 0 &&
            (rc = factory<Impl>::instance().queryInterface(iid, out), true)) ||
           ...);
    return rc;
}

}  // namespace kiv

// Defines the plug-in entry point dsoGetObjectFactory for the C++ classes given, each a
// kiv::object with a static member `clsid`:
//
//   class Greeter final : public kiv::object<Demo::IGreeter> {
//     public:
//       static constexpr const char *clsid = Demo::GREETER_CLASS;
//       ...
//   };
//   KIV_PLUGIN_CLASSES(Greeter)
#define KIV_PLUGIN_CLASSES(...)                                                                    \
    extern "C" KIV_PLUGIN_EXPORT kivResult dsoGetObjectFactory(const char *clsid, const char *iid, \
                                                               void **out) noexcept {              \
        return ::kiv::get_object_factory<__VA_ARGS__>(clsid, iid, out);                            \
    }

namespace kiv {

// ---- type library handles and registry keys ------------------------------------------------

// A type library handle that closes itself (kivTLibClose flushes pending definitions).
class type_library {
  public:
    type_library() noexcept = default;
    explicit type_library(kivTLib *handle) noexcept : h_(handle) {}
    type_library(type_library &&other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    type_library &operator=(type_library other) noexcept {
        std::swap(h_, other.h_);
        return *this;
    }
    ~type_library() { close(); }

    static result<type_library> open(const char *path, uint32_t flags = KIV_TLIB_READONLY) {
        kivTLib *h = nullptr;
        kivResult rc = kivTLibOpen(path, flags, &h);
        if (KIV_FAILED(rc)) return failure{rc};
        return type_library(h);
    }
    static result<type_library> create(const char *path, uint32_t flags = 0) {
        kivTLib *h = nullptr;
        kivResult rc = kivTLibCreate(path, flags, &h);
        if (KIV_FAILED(rc)) return failure{rc};
        return type_library(h);
    }

    kivTLib *get() const noexcept { return h_; }
    explicit operator bool() const noexcept { return h_ != nullptr; }
    // Closes now and returns the flush's result (the destructor drops it).
    kivResult close() noexcept {
        kivTLib *h = std::exchange(h_, nullptr);
        return h ? kivTLibClose(h) : KIV_S_OK;
    }

  private:
    kivTLib *h_ = nullptr;
};

// An open registry key that closes itself; it keeps its registry object alive.
class registry_key {
  public:
    registry_key() noexcept = default;
    registry_key(ref< ::IRegistry> registry, int32_t key) noexcept
        : registry_(std::move(registry)), key_(key) {}
    registry_key(registry_key &&other) noexcept
        : registry_(std::move(other.registry_)), key_(std::exchange(other.key_, KIV_REG_NO_KEY)) {}
    registry_key &operator=(registry_key other) noexcept {
        std::swap(registry_, other.registry_);
        std::swap(key_, other.key_);
        return *this;
    }
    ~registry_key() { close(); }

    // openKey under `parent` (a key handle of the same registry).
    static result<registry_key> open(const ref< ::IRegistry> &registry, int32_t parent,
                                     const char *path, uint32_t options, uint32_t access) {
        int32_t key = KIV_REG_NO_KEY;
        ::IRegistry *r = registry.get();
        kivResult rc = r->vtbl->openKey(r, parent, path, options, access, 0, &key);
        if (KIV_FAILED(rc)) return failure{rc};
        return registry_key(registry, key);
    }

    int32_t get() const noexcept { return key_; }
    ::IRegistry *registry() const noexcept { return registry_.get(); }
    explicit operator bool() const noexcept { return key_ != KIV_REG_NO_KEY; }
    kivResult close() noexcept {
        int32_t key = std::exchange(key_, KIV_REG_NO_KEY);
        if (key == KIV_REG_NO_KEY || !registry_) return KIV_S_OK;
        return registry_->vtbl->closeKey(registry_.get(), key);
    }

  private:
    ref< ::IRegistry> registry_;
    int32_t key_ = KIV_REG_NO_KEY;
};

}  // namespace kiv

#endif /* C++17 */
#endif /* KIV_HPP */
