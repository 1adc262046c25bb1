// State of the object model shared by the core's source files. Everything here
// is guarded by the host lock, which every caller must hold; the
// error log and the statistics are the only parts touched from any thread.
#ifndef TVH_CORE_STATE_H
#define TVH_CORE_STATE_H

#include "host_internal.h"
#include "registry.h"

#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace tvh {

struct UuidLess {
    bool operator()(const VS_UUID &a, const VS_UUID &b) const { return std::memcmp(&a, &b, sizeof a) < 0; }
};
struct MemPool {
    VS_INT32 itemSize = 0;
    std::vector<void *> items;
};

class SXmlDoc;

struct Core {
    bool running = false;
    HostOptions opts;

    uint64_t nextSeq = 1;
    uint32_t idCounter = 0;

    SeqIndex bySeq; // owns the live objects, creation order
    ObjectIndex<ByIdTraits> byId; // the latest object registered under each ID
    // Recently looked-up IDs in front of byId (module code asks for its few
    // class IDs over and over); an entry goes when its object is released
    // or another object is registered under its ID.
    struct RecentId {
        uint64_t lo = 0, hi = 0; // the ID's two halves
        HostObject *obj = nullptr;
    };
    static constexpr size_t kRecentIds = 256;
    static void halves(const VS_UUID &u, uint64_t *lo, uint64_t *hi) {
        std::memcpy(lo, &u, 8);
        std::memcpy(hi, reinterpret_cast<const char *>(&u) + 8, 8);
    }
    static size_t recentIdSlot(uint64_t lo, uint64_t hi) {
        return size_t(((lo ^ hi) * 0x9E3779B97F4A7C15ull) >> 56) & (kRecentIds - 1);
    }
    static size_t recentIdSlot(const VS_UUID &u) {
        uint64_t lo, hi;
        halves(u, &lo, &hi);
        return recentIdSlot(lo, hi);
    }
    RecentId recentIds[kRecentIds];
    // Objects with a non-empty name, per name, oldest first (the order of
    // bySeq): finding by name is one hash lookup, and the oldest live object
    // of a name still wins.
    std::unordered_map<std::string, std::vector<HostObject *>> byName;
    std::unordered_set<const FuncSlot *> liveSlots;
    std::unordered_set<char *> vstrings; // texts written by SetVString or defaults

    // Objects released while a host operation further up the stack may still
    // hold their descriptor; deleted when the outermost operation returns, and
    // those no frame pins as soon as there are many (a long call by name).
    std::vector<std::unique_ptr<HostObject>> graveyard;
    int opDepth = 0;
    static constexpr size_t kGraveyardSoftLimit = 1024;
    size_t graveyardKept = 0; // pinned descriptors the last sweep kept

    // Candidates to look at at the next collection point, by sequence number:
    // objects that may have become unheld since (see markCandidate), so that
    // a collection costs what it finds, not what lives.
    std::vector<uint64_t> pending; // guarded by pendingMutex()
    // Objects a collection point found held by a script value alone (by
    // sequence number; stale entries go when looked at): while there are
    // none, and no candidate is one, no object can become garbage through
    // the script collector, and a collection point runs no full script
    // collection.
    std::vector<uint64_t> scriptOnly;
    std::thread::id mainThread;
    uint64_t collectSteps = 0;

    std::vector<const void *> activeEventParas;

    HostObject *objectClass = nullptr;
    std::unordered_set<MemPool *> pools;
    std::unordered_set<std::vector<uint64_t> *> snapshots;
    std::unordered_set<SXmlDoc *> sxmls;
    VS_EXCEPTHANDLER exceptHandler = nullptr;

    // After the module's Term2 the host calls no module code.
    bool noModuleCalls = false;
    void *moduleHandle = nullptr; // dlopen handle, closed at stop()
    VS_MODULETERMPROC moduleTerm = nullptr;
    bool moduleStarted = false;
    // While the module runs its Init2 or Term2: the only time a class object
    // may be freed through the service while a module is loaded.
    bool inModuleEntry = false;

    ScriptEngine *ownedEngine = nullptr;
};

// Made on first use and never destroyed: thread-exit guards and late
// releases may still look. Read on nearly every host call, so the common
// path is one load.
extern Core *g_core;
Core &makeCore();
inline Core &core() { return __builtin_expect(g_core != nullptr, 1) ? *g_core : makeCore(); }
std::mutex &pendingMutex();
// The buffer of every empty text field the host writes: never freed, never
// in vstrings (a write of "" into it changes nothing).
// lookupById with its common case inline: an ID asked for a moment ago.
inline HostObject *findById(const VS_UUID *id) {
    if (!id) return nullptr;
    uint64_t lo, hi;
    Core::halves(*id, &lo, &hi);
    const Core::RecentId &r = core().recentIds[Core::recentIdSlot(lo, hi)];
    if (r.lo == lo && r.hi == hi && r.obj) return r.obj;
    return lookupById(id);
}

inline char *emptyVString() {
    static char empty[1] = {0};
    return empty;
}

// Keeps released descriptors alive until the outermost operation ends.
struct OpScope {
    OpScope();
    ~OpScope();
    OpScope(const OpScope &) = delete;
    OpScope &operator=(const OpScope &) = delete;
};

// Keeps a descriptor out of the graveyard's early cleanup while a host frame
// holds it across module code (events, before-change callbacks).
struct Pin {
    explicit Pin(HostObject *o) : o_(o) { ++o_->pins; }
    ~Pin() { --o_->pins; }
    Pin(const Pin &) = delete;
    Pin &operator=(const Pin &) = delete;

  private:
    HostObject *o_;
};

// objects.cpp
void *mallocObject(const VS_UUID *classOrObjectId, const VS_UUID *wantedId, VS_ULONG extraSize,
                   VS_PARAPKGPTR initPara);
void freeObject(HostObject *o);
HostObject *createClassFromXml(SXmlDoc *doc, HostObject *rootItem, const VS_UUID *classId,
                               VS_SYSEVENTPTR handler);
HostObject *createRootItem(const char *name, const VS_UUID *id);
HostObject *findByName(HostObject *parent, const char *name);
// Renames o, keeping the name index in step.
void setObjectName(HostObject *o, const char *name);
// Root item of that name, NULL when none.
HostObject *findRootItem(const char *name);
HostObject *findClassByName(const char *name);
void releaseAllSilently();
void newObjectId(VS_UUID *out);
bool changeParent(HostObject *o, HostObject *parent, OBJECTATTRIBUTEINDEX index);
HostObject *queueOwnerOfField(const void *field, OBJECTATTRIBUTEINDEX *index);
size_t chainLayoutEnd(const HostObject *o);
std::vector<const AttrDef *> allAttrs(const HostObject *o);
const AttrDef *attrByIndex(const HostObject *o, OBJECTATTRIBUTEINDEX index);
void *createAtomicUuidAttribute(HostObject *o, const char *name);
bool isInstOfAny(const HostObject *cls, const HostObject *o);
bool isActiveEventPara(const void *p);
HostObject *createClassObject(const std::string &name, const VS_UUID &id, HostObject *parentClass,
                              HostObject *holder, std::unique_ptr<ClassLayout> layout,
                              const std::vector<std::pair<std::string, std::string>> &functions);
// Layout of a class deriving from parent (NULL: a root class); FALSE with a
// reason for an attribute list that cannot be laid out.
struct TemplateAttr {
    std::string name, type, defaultText, queueClass;
    bool hasDefault = false, hasClass = false, syncFlag = false;
};
std::unique_ptr<ClassLayout> buildLayout(const ClassLayout *parent, const std::vector<TemplateAttr> &attrs,
                                         std::string *why);
int64_t nowMicros();

// locks.cpp
void resetLocksForCaller();
void lockBothIfNeeded(bool *tookScript, bool *tookHost);
void unlockTaken(bool tookScript, bool tookHost);
void captureScriptLock();
void releaseScriptLock();
void takeHostLock();
void releaseHostLock();
VS_BOOL dispatch();

// interfaces.cpp: start-up holds one reference on service and control.
void resetInterfaceRefs(bool started);

// text.cpp
void formatUuid(const VS_UUID *u, char out[37]);
bool parseUuid(const char *text, VS_UUID *out);
char *uuidText(const VS_UUID *u);
char *md5Text(const VS_INT8 *buf, VS_INT32 length);
VS_ULONG fnv1a(const void *buf, VS_INT32 length, VS_ULONG seed);
std::vector<ErrorReport> takeErrors(bool clear);
std::string vformat(const char *fmt, va_list ap);

// pugixml document behind ClassOfXRQSXMLInterface.
SXmlDoc *asSXmlDoc(ClassOfXRQSXMLInterface *p);
ClassOfXRQSXMLInterface *newSXmlDoc();
void releaseAllSXml();

} // namespace tvh

#endif
