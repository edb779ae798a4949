// observerT: told by devdbT after every change of the device database.
//
// notify() runs on the thread that released the write guard, with no database
// lock held; it may take the read lock itself to compare the device map with
// what it knew. Observers are owned through shared pointers to their concrete
// class, hence the protected, non-virtual destructor.
#pragma once

class devdbT;

class observerT {
public:
    virtual void notify(const devdbT& db) = 0;

protected:
    observerT() = default;
    ~observerT() = default;
};
