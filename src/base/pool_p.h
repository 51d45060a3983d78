// Objects that are costly to make (codec states), lent to one user at a time
// and kept for the next. Internal: not installed.
#pragma once

#include <mutex>
#include <vector>

namespace korv {

// Process-wide rather than per thread: 32-bit MinGW runtimes run the
// destructors of thread_local objects after their storage is gone, so a
// per-thread cache with a destructor crashes threads as they end.
template <typename T, T* (*Make)(), void (*Free)(T*)>
class Pool {
public:
    class Lease {
    public:
        explicit Lease(Pool& pool) : _pool(pool), _item(pool.take()) { }
        ~Lease() { _pool.give(_item); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        // nullptr when none could be made.
        T* get() const { return _item; }

    private:
        Pool& _pool;
        T* _item;
    };

    // Never destroyed: a thread still at work when the process ends keeps
    // what it borrowed.
    static Pool& instance()
    {
        static Pool* pool = new Pool;
        return *pool;
    }

private:
    // As many as ever ran at once, up to this many, stay for reuse.
    static constexpr std::size_t kKept = 64;

    T* take()
    {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            if (!_idle.empty()) {
                T* item = _idle.back();
                _idle.pop_back();
                return item;
            }
        }
        return Make();
    }

    void give(T* item)
    {
        if (!item)
            return;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            if (_idle.size() < kKept) {
                _idle.push_back(item);
                return;
            }
        }
        Free(item);
    }

    std::mutex _mutex;
    std::vector<T*> _idle;
};

} // namespace korv
