// Scripted stand-ins for the two stitching engines, for tests that isolate the document
// (or a window above it) from real stitching. Each fake answers from a FakeScript (build
// outcome and status, preview and result sizes, crop rectangle, render and crop answers)
// and writes every call into a shared CallLog, so a test checks both what happened and in
// which order across engines and window:
//
//   vltest::CallLog log;
//   vltest::FakeEngines engines(log);             // engines.realTiled = true mixes in a real one
//   PanoramaDoc doc(nullptr, engines.Factories());
//   doc.setIUserInterface(&window, &window);      // creates engines.hv and engines.tiled
//   engines.hv->script.status.nStatus = PanoramaLib::kStatusNoOverlap;
//   ... EXPECT_LT(log.IndexOf("tiled.Free(1,1)"), log.IndexOf("hv.BuildPanorama"));
//
// Log entries are "hv.<Operation>" or "tiled.<Operation>" with the arguments that matter,
// e.g. "hv.BuildPanorama(4)" (photo count), "tiled.SetRenderingSurface(1,10,-5,0,async,fast)",
// "hv.CropPanorama(100,200,3300,2000)". Results are FakeElements: sizes without pixel
// memory, so large results cost nothing. The factories install the document as the
// class-wide pixel-store factory, as the real ones do. The fakes live until the document
// releases them; engines.hv / engines.tiled dangle after that. UI thread only, except
// CallLog, which is thread-safe.
#pragma once

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "core/refcount.h"
#include "document/panorama_doc.h"
#include "engine/panorama_interfaces.h"

namespace vltest {

// Ordered record of calls, shared by every fake of a test.
class CallLog {
public:
    void Add(std::string call) { Locked([&] { m_calls.push_back(std::move(call)); }); }
    std::vector<std::string> Calls() const { return Locked([&] { return m_calls; }); }
    // The calls that start with `prefix`, in order.
    std::vector<std::string> Matching(const std::string& prefix) const
    {
        std::vector<std::string> out = Calls();
        std::erase_if(out, [&](const std::string& c) { return c.rfind(prefix, 0) != 0; });
        return out;
    }
    int Count(const std::string& prefix) const { return int(Matching(prefix).size()); }
    // Position of the first call starting with `prefix` at or after `from`; -1 when none.
    int IndexOf(const std::string& prefix, int from = 0) const
    {
        const std::vector<std::string> calls = Calls();
        for (std::size_t i = std::size_t(std::max(from, 0)); i < calls.size(); ++i)
            if (calls[i].rfind(prefix, 0) == 0)
                return int(i);
        return -1;
    }
    bool Contains(const std::string& prefix) const { return IndexOf(prefix) >= 0; }
    void Clear() { Locked([&] { m_calls.clear(); }); }

private:
    template <class F>
    auto Locked(F f) const -> decltype(f())
    {
        std::lock_guard lock(m_mutex);
        return f();
    }
    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

inline std::string ArgText(std::string s) { return s; }
template <class T>
    requires std::is_arithmetic_v<T>
std::string ArgText(T v)
{
    return std::to_string(v);
}
// "a,b,..." as log entries show arguments: numbers in decimal, bools 0/1.
template <class... T>
std::string ArgList(const T&... args)
{
    std::string list;
    int n = 0;
    ((list += (n++ ? "," : "") + ArgText(args)), ...);
    return list;
}
// A log entry: "op" without arguments, else "op(a,b,...)".
template <class... T>
std::string CallText(const std::string& op, const T&... args)
{
    return sizeof...(args) ? op + "(" + ArgList(args...) + ")" : op;
}
inline std::string RectText(const VarnoBase::Rect& r) { return ArgList(r.left, r.top, r.right, r.bottom); }

// An image of a given size whose pixels exist only as a flag.
class FakeElement : public VarnoBase::RefCounter, public PanoramaLib::IPanoElement {
public:
    FakeElement(VarnoBase::Size size, bool bits, std::wstring path = {})
        : RefCounter(1), m_size(size), m_bits(bits), m_path(std::move(path))
    {
    }

    void Set(VarnoBase::Size size, bool bits) { m_size = size, m_bits = bits; }

    long AddRef() override { return RefCounter::AddRef(); }
    long Release() override { return RefCounter::Release(); }
    bool Save(std::wstring) override { return false; }
    bool FromFile(std::wstring) override { return false; }
    bool CreateImage(int, int, int) override { return false; }
    bool CreateImage(u8*, u8*, u8*, int, int, int) override { return false; }
    bool CreateImage(u8*, int, int, int) override { return false; }
    void FreeImage() override { m_bits = false; }
    void Unload() override { m_bits = false; }
    void Load() override {}
    PanoramaLib::IPanoElement* CopyImage() override { return nullptr; }
    bool CopyImage(PanoramaLib::IPanoElement*) override { return false; }
    u8* GetAlphaBits() const override { return nullptr; }
    int GetAlphaBPL() const override { return 0; }
    void FlattenImage() override {}
    PanoramaLib::IDib* GetDib() const override { return nullptr; }
    VarnoBase::Size GetImageSize() const override { return m_size; }
    VarnoBase::Rect GetImageRect() const override { return {0, 0, m_size.cx, m_size.cy}; }
    int GetWidth() const override { return m_size.cx; }
    int GetHeight() const override { return m_size.cy; }
    int GetBPP() const override { return 24; }
    int GetBPL() const override { return 0; }
    u8* GetBits() const override { return nullptr; }
    bool HasBits() const override { return m_bits; }
    std::wstring GetFileName() const override { return m_path; }
    std::wstring GetPathName() const override { return m_path; }
    void SetPathName(std::wstring path) override { m_path = std::move(path); }
    std::wstring GetErrorMessage() const override { return {}; }

private:
    VarnoBase::Size m_size;
    bool m_bits;
    std::wstring m_path;
};

// What a fake engine answers. Change it between calls as the test needs.
struct FakeScript {
    bool buildResult = true;
    // Reported after each build; nImages 0 means "the number of photos built from".
    PanoramaLib::PanoramaStatus status = [] {
        PanoramaLib::PanoramaStatus s;
        s.nStatus = PanoramaLib::kStatusBuilt;
        return s;
    }();
    VarnoBase::Size previewSize{660, 400};
    VarnoBase::Size fullSize{6600, 4000};
    VarnoBase::Rect cropRect{10, 10, 650, 390};  // GetCropRect, preview pixels
    bool cropResult = true;  // CropPanorama (H/V)
    // Runs inside BuildPanorama / BuildPanoramaManually with the photos, before the
    // build's outcome is set.
    std::function<void(const std::vector<PanoramaLib::IPanoElement*>&)> onBuild;
};

// The operations both fakes share; `Base` is the engine interface faked.
template <class Base>
class FakeEngine : public Base {
public:
    FakeEngine(CallLog& log, std::string name) : m_log(log), m_name(std::move(name)) {}
    ~FakeEngine() override
    {
        if (m_preview)
            m_preview->Release(), m_full->Release();
    }

    FakeScript script;
    PanoramaLib::IUserInterface* ui = nullptr;  // as given to Initialize
    PanoramaLib::IFreeThreading* threading = nullptr;
    PanoramaLib::IProgressIndicator* progress = nullptr;
    PanoramaLib::PanoramaOptions options;  // every field kept, unlike the real engines

    void Initialize(PanoramaLib::IFreeThreading* threads, PanoramaLib::IWaitCursor*,
                    PanoramaLib::IUserInterface* userInterface) override
    {
        threading = threads, ui = userInterface;
        Log("Initialize");
    }
    void Release() override { Log("Release"), delete this; }
    void Set_IProgressIndicator(PanoramaLib::IProgressIndicator* p) override { progress = p; }
    bool HasBuilt() const override { return m_built; }
    bool BuildPanorama(const std::vector<PanoramaLib::IPanoElement*>& photos,
                       const std::vector<PanoramaLib::IPanoElement*>*, int, int, int) override
    {
        Log("BuildPanorama", photos.size());
        return Build(photos, false);
    }
    PanoramaLib::IPanoElement* GetPanoramaPreview(bool fallBack) const override
    {
        return fallBack && m_preview && !m_preview->HasBits() ? m_full : m_preview;
    }
    PanoramaLib::IPanoElement* GetPanoramaImage() const override { return m_full; }
    const PanoramaLib::PanoramaStatus* GetPanoramaStatus() const override { return &m_status; }
    void Free(bool photos, bool graph) override { Log("Free", photos, graph), m_built = false; }
    void FreePanoramaImages() override
    {
        Log("FreePanoramaImages");
        m_built = false;
        if (m_preview)
            m_preview->FreeImage(), m_full->FreeImage();
    }
    void SetOptions(const PanoramaLib::PanoramaOptions& o) override { options = o; }
    void GetOptions(PanoramaLib::PanoramaOptions* o) const override { *o = options; }
    VarnoBase::Rect GetCropRect(bool) override { return script.cropRect; }
    PanoramaLib::IPanoElement* CreateImageThumbnail(PanoramaLib::IPanoElement* photo) override
    {
        Log("CreateImageThumbnail");
        return new FakeElement({photo->GetWidth() / 4, photo->GetHeight() / 4}, true, photo->GetPathName());
    }

    FakeElement* preview() const { return m_preview; }
    FakeElement* full() const { return m_full; }

protected:
    bool Build(const std::vector<PanoramaLib::IPanoElement*>& photos, bool manual)
    {
        if (script.onBuild)
            script.onBuild(photos);
        if (!m_preview) {
            m_preview = new FakeElement(script.previewSize, false);
            m_full = new FakeElement(script.fullSize, false);
        }
        m_status = script.status;
        m_status.bManual = manual || script.status.bManual;
        if (m_status.nImages == 0)
            m_status.nImages = int(photos.size());
        m_status.options = options;
        m_built = script.buildResult;
        m_preview->Set(script.previewSize, m_built);
        m_full->Set(script.fullSize, false);
        return m_built;
    }
    bool Render()
    {
        Log("RenderPanorama", "crop=" + std::to_string(options.bAutoCrop));
        return m_built && (m_full->Set(script.fullSize, true), true);
    }
    template <class... T>
    void Log(const std::string& op, const T&... args)
    {
        m_log.Add(m_name + "." + CallText(op, args...));
    }

    CallLog& m_log;
    std::string m_name;
    bool m_built = false;
    PanoramaLib::PanoramaStatus m_status;
    FakeElement* m_preview = nullptr;  // made by the first build, one reference
    FakeElement* m_full = nullptr;
};

class FakeHVEngine : public FakeEngine<PanoramaLib::IHVPanorama> {
public:
    explicit FakeHVEngine(CallLog& log) : FakeEngine(log, "hv") {}
    bool BuildPanoramaManually(const std::vector<PanoramaLib::IPanoElement*>& photos,
                               const std::vector<PanoramaLib::IPanoElement*>*, bool allPairs) override
    {
        Log("BuildPanoramaManually", photos.size(), allPairs);
        return Build(photos, true);
    }
    bool RenderPanorama() override { return Render(); }
    bool CropPanorama(const VarnoBase::Rect& r) override
    {
        Log("CropPanorama", RectText(r));
        if (script.cropResult)
            m_full->Set({r.width(), r.height()}, true);
        return script.cropResult;
    }
    void SetPatchRect(const VarnoBase::Rect& r) override { Log("SetPatchRect", RectText(r)); }
};

class FakeTiledEngine : public FakeEngine<PanoramaLib::ITiledPanorama> {
public:
    explicit FakeTiledEngine(CallLog& log) : FakeEngine(log, "tiled") {}
    bool SetRenderingSurface(PanoramaLib::SurfaceRenderingType type, int x, int y, int z, bool async,
                             bool fast) override
    {
        Log("SetRenderingSurface", int(type), x, y, z, async ? "async" : "sync", fast ? "fast" : "full");
        return m_built;
    }
    bool FastRenderingHasFinished() override { return Log("FastRenderingHasFinished"), true; }
    bool RenderPanorama(int, int, int) override { return Render(); }
    void SyncUpdatePanoramaView(long w, long l) override { Log("SyncUpdatePanoramaView", w, l); }
    void Show3DParamsDlg() override {}
    void SetCropRect(const VarnoBase::Rect& r) override
    {
        Log("SetCropRect", RectText(r));
        script.cropRect = r, options.bAutoCrop = true;
    }
};

// The document's engine factories over fakes (or real engines where asked), counting
// creations.
struct FakeEngines {
    explicit FakeEngines(CallLog& log) : log(log) {}
    EngineFactories Factories();

    CallLog& log;
    bool realHV = false;     // make the real H/V engine instead of the fake
    bool realTiled = false;  // make the real tiled engine instead of the fake
    bool failHV = false;     // the factory answers null
    bool failTiled = false;
    int hvCreated = 0;
    int tiledCreated = 0;
    FakeHVEngine* hv = nullptr;  // the last fakes made (null when real)
    FakeTiledEngine* tiled = nullptr;
};

}  // namespace vltest
