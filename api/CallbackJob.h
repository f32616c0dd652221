// A job for a callback thread: any callable taking no arguments, moved in.
//
// Like std::function<void()>, but move-only and with room inside for the
// callables this library hands its callback threads (a host callback with
// its arguments and text, and the shares of the gates it holds), so that
// dispatching a callback allocates nothing: a swipe's callback is
// dispatched from the receiving thread, after an idle wait, when every
// allocation is a cold one. Larger callables are kept on the heap.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace quorin {

class CallbackJob {
public:
    // Bytes of callable kept inside the job.
    static constexpr size_t INLINE_SIZE = 128;

    CallbackJob() noexcept = default;
    CallbackJob(std::nullptr_t) noexcept {}

    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, CallbackJob> &&
                                                !std::is_same_v<std::decay_t<F>, std::nullptr_t>>>
    CallbackJob(F&& fn) {
        using T = std::decay_t<F>;
        if constexpr (fitsInside<T>()) {
            m_target = new (&m_storage) T(std::forward<F>(fn));
            m_ops = &INSIDE_OPS<T>;
        } else {
            m_target = new T(std::forward<F>(fn));
            m_ops = &HEAP_OPS<T>;
        }
    }

    CallbackJob(CallbackJob&& other) noexcept { takeFrom(other); }
    CallbackJob& operator=(CallbackJob&& other) noexcept {
        if (this != &other) {
            reset();
            takeFrom(other);
        }
        return *this;
    }
    CallbackJob& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }
    CallbackJob(const CallbackJob&) = delete;
    CallbackJob& operator=(const CallbackJob&) = delete;
    ~CallbackJob() { reset(); }

    explicit operator bool() const noexcept { return m_ops != nullptr; }
    // Runs the callable. Precondition: the job holds one.
    void operator()() { m_ops->invoke(m_target); }

private:
    struct Ops {
        void (*invoke)(void* target);
        // Moves the callable at from into storage (inside) or just hands the
        // pointer over (heap); returns where it now is.
        void* (*move)(void* from, void* storage) noexcept;
        void (*destroy)(void* target) noexcept;
    };

    template <class T>
    static constexpr bool fitsInside() {
        return sizeof(T) <= INLINE_SIZE && alignof(T) <= alignof(std::max_align_t) &&
               std::is_nothrow_move_constructible_v<T>;
    }

    template <class T>
    static void invokeAt(void* target) {
        (*static_cast<T*>(target))();
    }
    template <class T>
    static void* moveInside(void* from, void* storage) noexcept {
        T* source = static_cast<T*>(from);
        T* moved = new (storage) T(std::move(*source));
        source->~T();
        return moved;
    }
    template <class T>
    static void destroyInside(void* target) noexcept {
        static_cast<T*>(target)->~T();
    }
    static void* moveHeap(void* from, void* /*storage*/) noexcept { return from; }
    template <class T>
    static void destroyHeap(void* target) noexcept {
        delete static_cast<T*>(target);
    }

    template <class T>
    static constexpr Ops INSIDE_OPS{&invokeAt<T>, &moveInside<T>, &destroyInside<T>};
    template <class T>
    static constexpr Ops HEAP_OPS{&invokeAt<T>, &moveHeap, &destroyHeap<T>};

    void takeFrom(CallbackJob& other) noexcept {
        if (other.m_ops != nullptr) {
            m_target = other.m_ops->move(other.m_target, &m_storage);
            m_ops = other.m_ops;
            other.m_ops = nullptr;
            other.m_target = nullptr;
        }
    }
    void reset() noexcept {
        if (m_ops != nullptr) {
            m_ops->destroy(m_target);
            m_ops = nullptr;
            m_target = nullptr;
        }
    }

    alignas(std::max_align_t) unsigned char m_storage[INLINE_SIZE];
    const Ops* m_ops = nullptr;
    void* m_target = nullptr;
};

}  // namespace quorin
