// Active-object records that count data sources while data are freed. A
// record keeps the sums of its data sources between recounts; they must stay
// those of a walk over its sources (a freed object counts for no one) through
// frees of the data it follows, of data that other realms follow, and of
// data no record lists. And a datum's free must cost its own followers only:
// raising one source of a record and freeing an unrelated datum makes as many
// lookups whether the record has 50 sources or 1,000.
#include "forwarding_service.h"
#include "module_test_util.h"
#include "trelk_realm_internal.h"

#include <string>

namespace {

// Counts the module's lookups by ID (objects and index keys).
class LookupCounter : public ForwardingService {
  public:
    explicit LookupCounter(ClassOfXRQInterface *Inner) : ForwardingService(Inner) {}
    long long Lookups = 0;
    void *GetObject(VS_UUID *ObjectID) override {
        Lookups++;
        return Inner->GetObject(ObjectID);
    }
    void *FindIDKey(void *Index, VS_UUID *Key) override {
        Lookups++;
        return Inner->FindIDKey(Index, Key);
    }
};

class ActiveFrees : public trelktest::LoadedModule {
  protected:
    ActiveFrees() : LoadedModule("active_frees") {}
    void TearDown() override {
        if (Plain != nullptr)
            QZObject_XRQInterface = Plain;
        LoadedModule::TearDown();
    }

    // Lookups made by the chunk, counted by a service put in front of the
    // host's for its run.
    long long LookupsOf(const std::string &Code) {
        Plain = QZObject_XRQInterface;
        LookupCounter Counter(Plain);
        QZObject_XRQInterface = &Counter;
        Run(Code);
        QZObject_XRQInterface = Plain;
        Plain = nullptr;
        return Counter.Lookups;
    }

    // Every record of the realm: the sums its recount would use, against a
    // walk over its sources as they are listed now. Returns the number of
    // records compared.
    int CheckAgainstWalk(StructOfQZRealmBase *Realm, const std::string &What) {
        StructOfQZRealmBaseLocalBuf *LocalBuf = QZRealmBase_GetLocalBuf_Internal(Realm);
        if (LocalBuf == nullptr || LocalBuf->ActiveRealmObjectTree == nullptr)
            return 0;
        void *Tree = LocalBuf->ActiveRealmObjectTree;
        int Compared = 0;
        VS_UUID Key;
        for (void *Rec = XRQ->QueryFirstIDKey(Tree, &Key); Rec != nullptr; Rec = XRQ->QueryNextIDKey(Tree, &Key)) {
            auto *Record = (StructOfQZRealmBaseActiveObjectRecord *)Rec;
            VS_INT64 WalkSum = 0, WalkData = 0;
            VS_ULONG WalkOther = 0;
            TrelkVector<VS_UUID> Sources;
            TrelkActive_ListIDs(Record, VS_TRUE, VS_FALSE, Sources);
            for (VS_UUID &ID : Sources) {
                if (XRQ->GetObject(&ID) == nullptr)
                    continue;
                auto *Source = (StructOfQZRealmBaseActiveObjectRecord *)XRQ->FindIDKey(Tree, &ID);
                if (Source == nullptr || Source->ExtraActiveCount == 0)
                    continue;
                VS_ULONG Count = (VS_ULONG)Source->ActiveCount + (VS_ULONG)Source->ExtraActiveCount;
                if (Source->IsQZData) {
                    WalkSum += (VS_INT32)Count;
                    WalkData += 1;
                } else {
                    WalkOther += Count;
                }
            }
            VS_INT64 Sum = 0, Data = 0;
            VS_ULONG Other = 0;
            TrelkActive_Sums(LocalBuf, Record, &Sum, &Data, &Other);
            std::string Who = What + ", record of " + XRQ->UuidToString(&Key);
            EXPECT_EQ(Sum, WalkSum) << Who;
            EXPECT_EQ(Data, WalkData) << Who;
            EXPECT_EQ(Other, WalkOther) << Who;
            Compared++;
            // The rest of the realm is not worth comparing once one differs.
            if (Sum != WalkSum || Data != WalkData || Other != WalkOther)
                return -1;
        }
        return Compared;
    }

    ClassOfXRQInterface *Plain = nullptr;
};

// Two realms (and at times a third, freed while it follows data) over a pool
// of data and plain objects. Each step is one random operation; a freed
// datum is replaced by a new one. Frees come often, of data that records in
// one or both realms list, of data no one lists and of plain objects.
const char *const kWorld = R"LUA(
local D = QZDataBase:CreateType("frees.D")
local seed = 0
local function rand(n)
  seed = (seed * 1103515245 + 12345) % 2147483648
  return seed % n + 1
end
local counts = {1, 1, 2, 3, 5, 7, 2147483647}
pool = {}
local function fresh(i)
  pool[i] = i <= 14 and D(i) or _New(_Object)
  _LockGC(pool[i])
end
function startWorld(s)
  seed = s
  for i = 1, 18 do fresh(i) end
  r1, r2 = _New(QZRealmBase), _New(QZRealmBase)
  _SetName(r1, "r1") _SetName(r2, "r2")
  _LockGC(r1) _LockGC(r2)
end
local function pick() return pool[rand(#pool)] end
local function realm() return rand(2) == 1 and r1 or r2 end
-- A record that lists many data (an aggregate) keeps the sums busy.
function aggregate()
  local r = realm()
  local sources = {}
  for i = 1, 14 do if rand(3) > 1 then sources[#sources + 1] = pool[i] end end
  r:ActiveObject(counts[rand(#counts)], pick(), table.unpack(sources))
end
function step()
  local kind = rand(100)
  local r = realm()
  if kind <= 25 then
    local sources = {}
    for _ = 1, rand(4) - 1 do sources[#sources + 1] = pick() end
    r:ActiveObject(counts[rand(#counts)], pick(), table.unpack(sources))
  elseif kind <= 30 then
    aggregate()
  elseif kind <= 38 then
    r:DeactiveObject(pick(), ({0, 1, 2, 10})[rand(4)])
  elseif kind <= 58 then
    local fn = ({"LinkSourceObject", "LinkTargetObject", "UnLinkSourceObject", "UnLinkTargetObject"})[rand(4)]
    r[fn](r, pick(), pick())
  elseif kind <= 64 then
    r:SetExtraActiveCount(pick(), ({0, 1, 4, 2147483647})[rand(4)])
  elseif kind <= 72 then
    if rand(5) == 1 then r:UpdateActiveCount() else r:UpdateActiveCount(pick()) end
  elseif kind <= 90 then
    -- A free: of a datum or plain object, listed or not, replaced afresh.
    local i = rand(#pool)
    _Free(pool[i])
    fresh(i)
  elseif kind <= 93 then
    -- A realm that follows data goes first; the data are freed after it.
    local r3 = _New(QZRealmBase)
    r3:ActiveObject(1, pool[1], pool[2], pool[3], pool[4])
    r3:LinkSourceObject(pool[5], pool[2])
    _Free(r3)
    local i = rand(4)
    _Free(pool[i])
    fresh(i)
  elseif kind <= 95 then
    r.ScheduleTickCount = r.ScheduleTickCount + 1
  elseif kind <= 96 then
    r:DeactiveAll(r.ScheduleTickCount)
  elseif kind <= 97 then
    -- A list handed to the script, which adds to it.
    local list = r:GetSourceObject(pick())
    list:_Append(pick())
  elseif kind <= 98 then
    r:SyncFrom(r == r1 and r2 or r1, true)
  else
    -- A free of a datum both realms follow.
    local d = pool[rand(14)]
    local x = pick()
    r1:LinkSourceObject(x, d)
    r2:LinkSourceObject(x, d)
    r1:UpdateActiveCount(x)
    for i = 1, #pool do
      if pool[i] == d then
        _Free(d)
        fresh(i)
      end
    end
  end
end
)LUA";

TEST_F(ActiveFrees, SumsStayThoseOfAWalkThroughFrees) {
    Run(kWorld);
    for (int Seed : {3, 17, 99}) {
        Run("startWorld(" + std::to_string(Seed) + ")");
        auto *R1 = (StructOfQZRealmBase *)Named("r1");
        auto *R2 = (StructOfQZRealmBase *)Named("r2");
        ASSERT_NE(R1, nullptr);
        ASSERT_NE(R2, nullptr);
        int Compared = 0;
        for (int Step = 1; Step <= 700; Step++) {
            Run("step()");
            std::string What = "seed " + std::to_string(Seed) + " step " + std::to_string(Step);
            int A = CheckAgainstWalk(R1, What + ", r1");
            int B = CheckAgainstWalk(R2, What + ", r2");
            ASSERT_GE(A, 0) << What;
            ASSERT_GE(B, 0) << What;
            Compared += A + B;
        }
        EXPECT_GT(Compared, 2000) << "the realms kept records to compare";
        Run("_UnLockGC(r1) _UnLockGC(r2) _Free(r1) _Free(r2)"
            " for i = 1, #pool do _Free(pool[i]) end pool = {}");
    }
    EXPECT_EQ(tvh::stats().InvalidObjects, 0);
    EXPECT_EQ(tvh::stats().UnlockAtZero, 0);
}

// The same counts seen by scripts: a record over data sources, after frees of
// some of its sources and of data it does not list, recounts to the mean of
// the sources left (each source's count, raised by the rounds before).
TEST_F(ActiveFrees, ARecordCountsTheSourcesLeft) {
    Run(R"LUA(
        local D = QZDataBase:CreateType("left.D")
        local r, other = _New(QZRealmBase), _New(QZRealmBase)
        local total, src, junk = D(0), {}, {}
        for i = 1, 6 do
          src[i] = D(i)
          r:LinkSourceObject(total, src[i])
          other:LinkSourceObject(total, src[i])
          junk[i] = D(-i)
        end
        r:ActiveObject(9, src[1])                 -- counts 10, 1, 1, 1, 1, 1
        r:ActiveObject(3, src[2])                 -- 10, 4, 1, 1, 1, 1
        local function count() return r:GetActiveCount(total) end
        assert(count() == 1 + 18 // 6, "before any free: " .. count())
        _Free(junk[1]) _Free(junk[2])
        r:UpdateActiveCount(total)
        assert(count() == 1 + 18 // 6, "unrelated frees change nothing: " .. count())
        _Free(src[1])                             -- 4, 1, 1, 1, 1 left
        r:UpdateActiveCount(total)
        assert(count() == 1 + 8 // 5, "src[1] freed: " .. count())
        _Free(junk[3])
        r:ActiveObject(6, src[3])                 -- 4, 7, 1, 1, 1
        assert(count() == 1 + 14 // 5, "src[3] raised: " .. count())
        _Free(src[2]) _Free(src[3])               -- 1, 1, 1 left
        r:UpdateActiveCount(total)
        assert(count() == 1 + 3 // 3, "two more freed: " .. count())
        assert(other:GetActiveCount(total) == 1, "the other realm has not recounted: " .. other:GetActiveCount(total))
        other:UpdateActiveCount(total)
        assert(other:GetActiveCount(total) == 1 + 3 // 3,
               "and recounts the sources left: " .. other:GetActiveCount(total))
        for i = 4, 6 do _Free(src[i]) end
        r:UpdateActiveCount(total)
        assert(count() == 1, "no source left: " .. count())
        _Free(r) _Free(other)
    )LUA");
    EXPECT_EQ(tvh::stats().InvalidObjects, 0);
}

// Raising one source of a record recounts the record; a free of a datum that
// no record lists, between the rounds, adds the same few lookups whatever
// the number of the record's sources (a walk over them would add two per
// source).
TEST_F(ActiveFrees, AnUnrelatedFreeCostsTheSameForFewSourcesAndMany) {
    Run(R"LUA(
        local D = QZDataBase:CreateType("cost.D")
        sets = {}
        function follow(name, n)
          local r = _New(QZRealmBase)
          _LockGC(r)
          local total, src = D(0), {}
          for i = 1, n do
            src[i] = D(i)
            r:LinkSourceObject(total, src[i])
          end
          r:UpdateActiveCount(total)
          sets[name] = {r = r, total = total, src = src, next = 1}
        end
        junk = {}
        for i = 1, 40 do junk[i] = D(-i) end
        nextJunk = 1
        function rounds(name, k, frees)
          local s = sets[name]
          for _ = 1, k do
            s.r:ActiveObject(1, s.src[s.next])
            s.next = s.next + 1
            if frees then
              _Free(junk[nextJunk])
              nextJunk = nextJunk + 1
            end
          end
        end
        follow("few", 50)
        follow("many", 1000)
    )LUA");
    const int Rounds = 10;
    long long Extra[2];
    const char *Names[2] = {"few", "many"};
    for (int i = 0; i < 2; i++) {
        std::string Name = Names[i];
        long long Without = LookupsOf("rounds('" + Name + "', " + std::to_string(Rounds) + ", false)");
        long long With = LookupsOf("rounds('" + Name + "', " + std::to_string(Rounds) + ", true)");
        Extra[i] = With - Without;
    }
    EXPECT_LE(Extra[1], Extra[0] + Rounds)
        << "lookups added by " << Rounds << " frees: " << Extra[0] << " with 50 sources, " << Extra[1]
        << " with 1,000";
    // The counts are right all the same: every source raised once counts 2.
    Run(R"LUA(
        for _, s in pairs(sets) do
          s.r:UpdateActiveCount(s.total)
          local want = 1 + (2 * (2 * 10) + (#s.src - 20)) // #s.src
          assert(s.r:GetActiveCount(s.total) == want, "count " .. s.r:GetActiveCount(s.total) .. ", want " .. want)
        end
    )LUA");
}

} // namespace
