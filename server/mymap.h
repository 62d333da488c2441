#ifndef MYMAP_H
#define MYMAP_H

#include <map>

// Number -> pointer map with lookup in both directions. Ascending key order
// decides which entry a reverse lookup finds when a value stands more than once.
// The map never frees what its values point to.
template <class T>
class mymap {
public:
    typedef typename std::map<unsigned, T>::iterator iterator;

    // The value under the key, null when there is none.
    T get(unsigned key) const
    {
        typename std::map<unsigned, T>::const_iterator it = items.find(key);
        return it == items.end() ? T() : it->second;
    }

    // The key of the first entry holding the value; 0 when none (a key 0 gives
    // the same answer).
    unsigned get(T value) const
    {
        for (typename std::map<unsigned, T>::const_iterator it = items.begin(); it != items.end(); ++it)
            if (it->second == value)
                return it->first;
        return 0;
    }

    // An existing key keeps its value.
    bool insert(unsigned key, T value) { return items.insert(std::make_pair(key, value)).second; }

    void del(unsigned key) { items.erase(key); }

    void del(T value)
    {
        for (iterator it = items.begin(); it != items.end(); ++it)
            if (it->second == value) {
                items.erase(it);
                return;
            }
    }

    // Erases every entry holding the value, so that no key is left pointing at it.
    void delAll(T value)
    {
        for (iterator it = items.begin(); it != items.end();)
            if (it->second == value)
                it = items.erase(it);
            else
                ++it;
    }

    bool has(unsigned key) const { return items.count(key) != 0; }
    size_t size() const { return items.size(); }
    iterator begin() { return items.begin(); }
    iterator end() { return items.end(); }
    void clear() { items.clear(); }

private:
    std::map<unsigned, T> items;
};

#endif
