#pragma once
// The receiving side of a Signal<T>: an object attached with Signal<T>::operator+= has
// SignalRaised called with every raised value, on the thread that raises the signal. The
// signal keeps a plain pointer, so an observer detaches (Signal<T>::operator-=) before it
// is destroyed.

namespace Zelkor {

template <class T>
class ISignalObserver {
public:
    virtual ~ISignalObserver() = default;
    virtual void SignalRaised(T& value) = 0;
};

}  // namespace Zelkor
