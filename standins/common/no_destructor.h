// Static storage for an object that is built on first use and never
// destroyed, without a heap allocation. The stand-ins keep their state in it:
// the service's detached threads may call in while the process runs its exit
// handlers, and a stand-in that is unloaded takes its state with it instead
// of leaving a heap block behind.
#ifndef TALLYSERVICE_STANDINS_COMMON_NO_DESTRUCTOR_H_
#define TALLYSERVICE_STANDINS_COMMON_NO_DESTRUCTOR_H_

#include <new>
#include <utility>

namespace standin {

template <typename T>
class NoDestructor {
  public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        new (m_storage) T(std::forward<Args>(args)...);
    }
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;

    T* get() { return std::launder(reinterpret_cast<T*>(m_storage)); }

  private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

}  // namespace standin

#endif  // TALLYSERVICE_STANDINS_COMMON_NO_DESTRUCTOR_H_
