// The two element-array variants: one holds a reference to every element, one plain pointers.
#pragma once

#include <stdexcept>
#include <type_traits>
#include <vector>

#include "OrvXml.h"

namespace orv {

// Thrown by every range or precondition check of the arrays.
[[noreturn]] void throwArraySubscript();

// Storage and the operations both variants share. The composite operations call clear and
// pushBack through the virtual table, so they inherit each variant's reference handling.
template <class Base, class T>
class ArrayCommon : public Base, public std::vector<T> {
protected:
    using Vec = std::vector<T>;

    void checkIndex(long long index, long long limit) const {
        if (index < 0 || index >= limit) throwArraySubscript();
    }
    long long count() const { return static_cast<long long>(Vec::size()); }

public:
    int appendItems(const T* items, int n) override {
        if (n > 0 && !items) throwArraySubscript();
        for (int i = 0; i < n; ++i) this->pushBack(items[i]);
        return size();
    }
    int appendArray(Base* other) override {
        if (!other) return size();
        if (other == this) {  // append a snapshot, not the growing array itself
            const Vec snapshot(Vec::begin(), Vec::end());
            for (T item : snapshot) this->pushBack(item);
            return size();
        }
        for (int i = 0; i < other->size(); ++i) this->pushBack(other->at(static_cast<unsigned>(i)));
        return size();
    }
    T at(unsigned index) override {
        checkIndex(index, count());
        return Vec::operator[](index);
    }
    T* atPtr(unsigned index) override {
        checkIndex(index, count());
        return &Vec::operator[](index);
    }
    T back() override {
        checkIndex(0, count());
        return Vec::back();
    }
    T front() override {
        checkIndex(0, count());
        return Vec::front();
    }
    int size() override { return static_cast<int>(Vec::size()); }
    int capacity() override { return static_cast<int>(Vec::capacity()); }
    void reserve(int n) override {
        if (n < 0) throwArraySubscript();
        if (Vec::capacity() < static_cast<size_t>(n)) {
            Vec grown;
            grown.reserve(static_cast<size_t>(n));
            grown.assign(Vec::begin(), Vec::end());
            Vec::swap(grown);
        }
    }
    int assignArray(Base* other) override {
        if (!other) return size();
        if (other == this) return size();  // already holds exactly these elements
        return assignItems(other->getData(), other->size());
    }
    int assignItems(const T* items, int n) override {
        if (n < 0 || (n > 0 && !items)) throwArraySubscript();
        // Copy first: the items may live in this very array.
        const Vec copy(items, items + n);
        static_cast<Base*>(this)->clear();  // through the table: the variant's own clear
        reserve(n);
        for (T item : copy) this->pushBack(item);
        return size();
    }
    Base* clone() override;
    const T* getData() const override { return Vec::capacity() == 0 ? nullptr : Vec::data(); }
    T* getData() override {
        return const_cast<T*>(static_cast<const ArrayCommon*>(this)->getData());
    }
    T* getPointer() override { return getData(); }
};

// Holds a counted reference to every non-null element it stores.
template <class Base, class T>
class ArrayRefPointerImp : public ArrayCommon<Base, T> {
    using Vec = std::vector<T>;
    using Common = ArrayCommon<Base, T>;

    using Object = std::remove_pointer_t<T>;
    // Counts go through the one counted-pointer type: a reference taken and kept, or given back.
    static void take(T item) {
        if (item) orv::OrvPtr<Object>(item).release();
    }
    static void drop(T item) {
        if (item) orv::OrvPtr<Object>::adopt(item);
    }

public:
    ArrayRefPointerImp() = default;

    void clear() override {
        // Detach first, then release: an element's destruction cannot see a half-cleared array.
        Vec old;
        Vec::swap(old);
        for (T item : old) drop(item);
    }
    int pushBack(T item) override {
        Vec::push_back(item);
        take(item);
        return Common::size();
    }
    int insert(int index, T item) override {
        if (index < 0 || index > Common::size()) throwArraySubscript();
        Vec::insert(Vec::begin() + index, item);
        take(item);
        return Common::size();
    }
    void popBack() override {
        T item = Common::back();
        Vec::pop_back();
        drop(item);
    }
    void popFront() override {
        T item = Common::front();
        Vec::erase(Vec::begin());
        drop(item);
    }
    void eraseRange(int first, int last) override {
        if (first < 0 || first > last || last > Common::size()) throwArraySubscript();
        const Vec dropped(Vec::begin() + first, Vec::begin() + last);
        Vec::erase(Vec::begin() + first, Vec::begin() + last);
        for (T item : dropped) drop(item);
    }
    void erase(int index) override {
        // Read through the checked access: a bad index throws before anything moves.
        T item = Common::at(index < 0 ? ~0u : static_cast<unsigned>(index));
        Vec::erase(Vec::begin() + index);
        drop(item);
    }
    void resize(int n) override {
        if (n < 0) throwArraySubscript();
        if (static_cast<size_t>(n) >= Vec::size()) {
            Vec::resize(static_cast<size_t>(n), nullptr);
            return;
        }
        // The dropped tail was counted when it came in: release it.
        const Vec dropped(Vec::begin() + n, Vec::end());
        Vec::resize(static_cast<size_t>(n));
        for (T item : dropped) drop(item);
    }

protected:
    ~ArrayRefPointerImp() override {
        Vec old;
        Vec::swap(old);
        for (T item : old) drop(item);
    }
};

// Stores plain pointers; made only by clone.
template <class Base, class T>
class ArrayImp : public ArrayCommon<Base, T> {
    using Vec = std::vector<T>;
    using Common = ArrayCommon<Base, T>;

public:
    ArrayImp() = default;

    void clear() override { Vec::clear(); }
    int pushBack(T item) override {
        Vec::push_back(item);
        return Common::size();
    }
    int insert(int index, T item) override {
        if (index < 0 || index > Common::size()) throwArraySubscript();
        Vec::insert(Vec::begin() + index, item);
        return Common::size();
    }
    void popBack() override {
        Common::back();
        Vec::pop_back();
    }
    void popFront() override {
        Common::front();
        Vec::erase(Vec::begin());
    }
    void eraseRange(int first, int last) override {
        if (first < 0 || first > last || last > Common::size()) throwArraySubscript();
        Vec::erase(Vec::begin() + first, Vec::begin() + last);
    }
    void erase(int index) override {
        if (index < 0 || index >= Common::size()) throwArraySubscript();
        Vec::erase(Vec::begin() + index);
    }
    void resize(int n) override {
        if (n < 0) throwArraySubscript();
        Vec::resize(static_cast<size_t>(n), nullptr);
    }

protected:
    ~ArrayImp() override = default;
};

template <class Base, class T>
Base* ArrayCommon<Base, T>::clone() {
    // Handed over with a count of 0, like every new object.
    auto* copy = new ArrayImp<Base, T>();
    copy->assignArray(this);
    return copy;
}

}  // namespace orv
