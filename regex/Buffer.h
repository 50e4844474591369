#pragma once
// Growable arrays of plain items for the pattern matcher: code units, ints
// and element pointers. Items are copied bitwise and never constructed.

#include <cstring>
#include <new>

template <class T>
class CBufferRefT {
public:
    CBufferRefT() : m_pData(nullptr), m_nSize(0) {}
    CBufferRefT(const T* data, int size) : m_pData(const_cast<T*>(data)), m_nSize(size) {}
    virtual ~CBufferRefT() {}

    int GetSize() const { return m_nSize; }
    const T* GetData() const { return m_pData; }
    const T& operator[](int i) const { return m_pData[i]; }

protected:
    T* m_pData;
    int m_nSize;
};

template <class T>
class CBufferT : public CBufferRefT<T> {
public:
    CBufferT() : m_nCapacity(0) {}
    CBufferT(const T* data, int size) : m_nCapacity(0) { Append(data, size); }
    CBufferT(const CBufferT& other) : CBufferRefT<T>(), m_nCapacity(0) { Append(other.m_pData, other.m_nSize); }
    CBufferT(CBufferT&& other) noexcept : CBufferRefT<T>(other.m_pData, other.m_nSize), m_nCapacity(other.m_nCapacity)
    {
        other.m_pData = nullptr;
        other.m_nSize = other.m_nCapacity = 0;
    }
    CBufferT& operator=(CBufferT other) noexcept
    {
        Swap(other);
        return *this;
    }
    ~CBufferT() override { delete[] this->m_pData; }

    T* GetData() { return this->m_pData; }
    const T* GetData() const { return this->m_pData; }
    T& operator[](int i) { return this->m_pData[i]; }
    const T& operator[](int i) const { return this->m_pData[i]; }

    void Push(const T& item)
    {
        if (this->m_nSize == m_nCapacity) Grow(this->m_nSize + 1);
        this->m_pData[this->m_nSize++] = item;
    }
    T Pop() { return this->m_pData[--this->m_nSize]; }
    T& Top() { return this->m_pData[this->m_nSize - 1]; }
    void Append(const T* items, int count)
    {
        if (count <= 0) return;
        Reserve(this->m_nSize + count);
        std::memcpy(static_cast<void*>(this->m_pData + this->m_nSize), items, sizeof(T) * count);
        this->m_nSize += count;
    }
    // Shrinks to `size`; used to drop whatever was pushed after a saved size.
    void Restore(int size) { this->m_nSize = size; }
    void Clear() { this->m_nSize = 0; }
    // Makes the buffer `size` items long, filling any new items with `fill`.
    void Resize(int size, const T& fill)
    {
        Reserve(size);
        for (int i = this->m_nSize; i < size; ++i) this->m_pData[i] = fill;
        this->m_nSize = size;
    }
    void Reserve(int size)
    {
        if (size > m_nCapacity) Grow(size);
    }
    void Swap(CBufferT& other) noexcept
    {
        T* d = this->m_pData;
        this->m_pData = other.m_pData;
        other.m_pData = d;
        int n = this->m_nSize;
        this->m_nSize = other.m_nSize;
        other.m_nSize = n;
        n = m_nCapacity;
        m_nCapacity = other.m_nCapacity;
        other.m_nCapacity = n;
    }

private:
    void Grow(int needed)
    {
        int capacity = m_nCapacity < 4 ? 8 : m_nCapacity * 2;
        while (capacity < needed) capacity *= 2;
        T* data = new T[capacity];
        if (this->m_nSize) std::memcpy(static_cast<void*>(data), this->m_pData, sizeof(T) * this->m_nSize);
        delete[] this->m_pData;
        this->m_pData = data;
        m_nCapacity = capacity;
    }

    int m_nCapacity;
};
