#pragma once

#include "store/itemdb.h"

#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tw {

// One thread's connection to the item database, kept from check to check, so
// that a check's ids cost one or two statements instead of a connection each.
// Made and used on one thread (the worker's); the window's CItemDb calls keep
// opening connections of their own. Between calls it holds no lock, so the
// window lists and clears meanwhile. Each call first makes sure the open file
// is still the one the db's connection string names, and takes the db's
// current busy time-out: a database moved away, replaced or locked fails the
// call with its reason as an operation of CItemDb would. Every call throws
// DbError on failure, and the connection is dropped then.
class ItemDbSession
{
public:
    // db must outlive the session; its connection string is read at each call.
    explicit ItemDbSession(CItemDb& db);
    ~ItemDbSession();
    ItemDbSession(const ItemDbSession&) = delete;
    ItemDbSession& operator=(const ItemDbSession&) = delete;

    // Those of ids stored under sid.
    std::unordered_set<std::string> storedUnder(const std::string& sid,
                                                const std::vector<std::string_view>& ids);
    // Those of ids stored under any key as an item that was reported there,
    // as CItemDb::isBbidReported tells.
    std::unordered_set<std::string> reportedAnywhere(const std::vector<std::string_view>& ids);
    // Stores the items under sid, each with its find by source, in one
    // transaction, in the order given, so that each later row has the
    // larger id: all of them or, on an error, none. Removes every "'" from
    // the titles, as insertItem does.
    void insertItems(const std::string& sid, const std::vector<FoundRow>& items,
                     const FindSource& source);
    // Closes the connection (its cache goes with it); the next call opens it again.
    void close();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace tw
