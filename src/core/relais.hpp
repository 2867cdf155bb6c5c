// A bounded hand-over between one producer thread and one consumer thread. The
// producer fills objects taken from a fixed pool and hands them over in order; the
// consumer empties them and gives them back. The pool's size bounds both the memory
// in flight and how far the producer may run ahead, and its objects keep their
// buffers from one round to the next.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

namespace brivane {

template <class T>
class Relais {
public:
    explicit Relais(size_t n) {
        for (size_t i = 0; i < n; ++i) libres_.push_back(std::make_unique<T>());
    }
    Relais(const Relais &) = delete;
    Relais &operator=(const Relais &) = delete;

    // Producer: an object to fill, or nullptr once the consumer has stopped.
    std::unique_ptr<T> prendre() {
        std::unique_lock<std::mutex> verrou(m_);
        cv_.wait(verrou, [&] { return arrete_ || !libres_.empty(); });
        return arrete_ ? nullptr : retirer(libres_);
    }
    // Producer: hands a filled object over.
    void livrer(std::unique_ptr<T> o) {
        changer([&] { prets_.push_back(std::move(o)); });
    }
    // Producer: nothing more will come.
    void terminer() {
        changer([&] { termine_ = true; });
    }

    // Consumer: the next filled object, or nullptr once the producer has ended and
    // everything it handed over has been received. Waits at most `delai` (the caller
    // may have signals to look at): `pret` is then false, and so is the result.
    template <class Duree> std::unique_ptr<T> recevoir(Duree delai, bool &pret) {
        std::unique_lock<std::mutex> verrou(m_);
        pret = cv_.wait_for(verrou, delai, [&] { return termine_ || !prets_.empty(); });
        return prets_.empty() ? nullptr : retirer(prets_);
    }
    // Consumer: gives an emptied object back to the pool.
    void rendre(std::unique_ptr<T> o) {
        changer([&] { libres_.push_back(std::move(o)); });
    }
    // Consumer: asks the producer to stop (its next prendre() gives nullptr).
    void arreter() {
        changer([&] { arrete_ = true; });
    }

private:
    // Every change is made under the lock, then told to the other side.
    template <class F> void changer(F &&f) {
        {
            std::lock_guard<std::mutex> verrou(m_);
            f();
        }
        cv_.notify_all();
    }
    static std::unique_ptr<T> retirer(std::deque<std::unique_ptr<T>> &file) {
        std::unique_ptr<T> o = std::move(file.front());
        file.pop_front();
        return o;
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::unique_ptr<T>> libres_, prets_;
    bool termine_ = false, arrete_ = false;
};

}  // namespace brivane
