// Program-wide state, one copy per host thread. Each module keeps its own struct here:
//   auto& stats = program_state<StatisticsValues>();
// A test starts from a fresh copy with ProgramState::reset().
#pragma once

#include <memory>
#include <typeindex>
#include <utility>
#include <vector>

namespace parvex {

class ProgramState {
 public:
  ProgramState() = default;
  ProgramState(const ProgramState&) = delete;
  ProgramState& operator=(const ProgramState&) = delete;
  ~ProgramState() { clear(); }

  // The calling thread's state.
  static ProgramState& current();
  // Destroys every value of the calling thread's state, newest first.
  static void reset() { current().clear(); }

  template <class T>
  T& get() {
    const std::type_index key(typeid(T));
    for (auto& slot : slots_) {
      if (slot.key == key) return *static_cast<T*>(slot.value);
    }
    // T's constructor may itself touch other state, so build before inserting.
    auto holder = std::make_unique<Holder<T>>();
    T* value = &holder->value;
    slots_.push_back(Slot{key, std::move(holder), value});
    return *value;
  }

  template <class T>
  bool has() const {
    const std::type_index key(typeid(T));
    for (const auto& slot : slots_) {
      if (slot.key == key) return true;
    }
    return false;
  }

  // Destroys one value; the next get<T>() makes a new one.
  template <class T>
  void erase() {
    const std::type_index key(typeid(T));
    for (auto it = slots_.begin(); it != slots_.end(); ++it) {
      if (it->key == key) {
        // Unlink first: the value's destructor may touch the state again.
        std::unique_ptr<HolderBase> doomed = std::move(it->holder);
        slots_.erase(it);
        return;
      }
    }
  }

 private:
  struct HolderBase {
    virtual ~HolderBase() = default;
  };
  template <class T>
  struct Holder : HolderBase {
    T value{};
  };
  struct Slot {
    std::type_index key;
    std::unique_ptr<HolderBase> holder;
    void* value;
  };

  void clear();

  std::vector<Slot> slots_;
};

template <class T>
T& program_state() {
  return ProgramState::current().get<T>();
}

}  // namespace parvex
