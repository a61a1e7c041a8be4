// The engines' image element: a pixel store placed on the canvas plus its alpha, mask
// and weight planes, and the operations the engines build on (cut-outs, channel cuts,
// boundary rectangles, the auto-crop). The rectangles and the auto-crop are in
// pano_element_rect.cpp.
#include "core/pano_element.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/parallel.h"

namespace PanoramaLib {

namespace {

// The store factory of the program; stores made directly when none has been installed,
// so that an element is never left without a store.
IDib* NewStore(bool threadSafe)
{
    IDib* dib = CPanoElement::m_pIDibManager ? CPanoElement::m_pIDibManager->CreateDibObject(threadSafe) : nullptr;
    return dib ? dib : new QtDibImpl(threadSafe);
}

IDib* CopyStore(IDib* src)
{
    if (CPanoElement::m_pIDibManager)
        return CPanoElement::m_pIDibManager->CreateCopy(src, false);
    auto* impl = src ? static_cast<QtDibImpl*>(src->QueryObject(kQueryDibImpl)) : nullptr;
    return impl ? new QtDibImpl(*impl, false) : nullptr;
}

}  // namespace

IPanoElement* CreateDibObject(bool threadSafe)
{
    return new (std::nothrow) CPanoElement(threadSafe);
}

void InitPictureCollection(std::vector<IPanoElement*>& v, int n)
{
    const std::size_t size = n > 0 ? static_cast<std::size_t>(n) : 0;
    // Entries cut off by a shrink hold references of the collection: give them back.
    for (std::size_t i = size; i < v.size(); ++i)
        IPanoElement::SafeRelease(v[i]);
    v.resize(size, nullptr);
}

void FreePictureCollection(std::vector<IPanoElement*>& v)
{
    for (IPanoElement* e : v)
        IPanoElement::SafeRelease(e);
    v.clear();
}

}  // namespace PanoramaLib

using VarnoBase::Rect;
using VarnoBase::Size;

PanoramaLib::IDibManager* CPanoElement::m_pIDibManager = nullptr;

int grB[256];
int grG[256];
int grR[256];
int byte255[256];
int bi_table[16][16];

void InitAcceleratorTables()
{
    for (int i = 0; i < 256; ++i) {
        grB[i] = 30 * i;
        grG[i] = 59 * i;
        grR[i] = 11 * i;
        byte255[i] = 255 * i;
    }
    for (int i = 0; i < 16; ++i)
        for (int j = 0; j < 16; ++j)
            bi_table[i][j] = i * j;
}

namespace {
// Filled during static initialisation, before main and before any element exists.
const bool g_tablesReady = (InitAcceleratorTables(), true);
}  // namespace

CPanoElement::CPanoElement(bool threadSafe) : RefCounter(1)
{
    m_pDib = PanoramaLib::NewStore(threadSafe);
    m_pDib->AddRef();
}

CPanoElement::~CPanoElement()
{
    FreeImage();
    m_errorMessage.clear();
    m_pDib->Release();
}

// ---------------------------------------------------------------------------------
// Store access

VarnoBase::Size CPanoElement::GetImageSize() const
{
    return {GetWidth(), GetHeight()};
}

VarnoBase::Rect CPanoElement::GetImageRect() const
{
    return {m_position.x, m_position.y, m_position.x + GetWidth(), m_position.y + GetHeight()};
}

int CPanoElement::GetWidth() const { return m_pDib->width(); }
int CPanoElement::GetHeight() const { return m_pDib->height(); }
int CPanoElement::GetBPP() const { return m_pDib->bytesPerPixel(); }
int CPanoElement::GetBPL() const { return m_pDib->bytesPerLine(); }
u8* CPanoElement::GetBits() const { return m_pDib->bits(); }
bool CPanoElement::HasBits() const { return m_pDib->hasBits(); }
std::wstring CPanoElement::GetFileName() const { return m_pDib->getFileName(); }
std::wstring CPanoElement::GetPathName() const { return m_pDib->getPathName(); }
void CPanoElement::SetPathName(std::wstring path) { m_pDib->setPathName(std::move(path)); }

std::size_t CPanoElement::PlaneLength() const
{
    const int w = GetWidth();
    const int h = GetHeight();
    if (w <= 0 || h <= 0)
        return 0;
    return static_cast<std::size_t>(GetAlphaBPL()) * static_cast<std::size_t>(h);
}

void CPanoElement::DropStalePlanes()
{
    const Size now = GetImageSize();
    if (m_pAlpha && m_alphaSize != now)
        FreeAlphaChannel();
    if (m_pBitmask && m_bitmaskSize != now)
        FreeBitmaskChannel();
    if (m_pBitmask16 && m_bitmask16Size != now)
        Free16Bitmask();
}

// ---------------------------------------------------------------------------------
// Pixels in and out

bool CPanoElement::Save(std::wstring path)
{
    return m_pDib->save(path, &m_errorMessage);
}

bool CPanoElement::FromFile(std::wstring path)
{
    if (m_pDib->hasBits())
        return false;
    const bool ok = m_pDib->load(path, &m_errorMessage);
    DropStalePlanes();
    return ok;
}

bool CPanoElement::CreateImage(int bpp, int width, int height)
{
    if (m_pDib->hasBits())
        return false;
    const bool ok = m_pDib->createImage(bpp, width, height, true);
    DropStalePlanes();
    return ok;
}

bool CPanoElement::CreateImage(bool colour, int width, int height, bool allocate)
{
    const bool ok = m_pDib->createImage(colour ? 24 : 8, width, height, allocate);
    DropStalePlanes();
    return ok;
}

bool CPanoElement::CreateImage(u8* p0, u8* p1, u8* p2, int width, int height, int srcStride)
{
    if (!p0 || !p1 || !p2 || width <= 0 || height <= 0)
        return false;
    if (!CreateImage(24, width, height))
        return false;
    u8* dst = GetBits();
    const std::size_t bpl = static_cast<std::size_t>(GetBPL());
    for (int y = 0; y < height; ++y) {
        const std::ptrdiff_t off = static_cast<std::ptrdiff_t>(y) * srcStride;
        const u8* b = p0 + off;
        const u8* g = p1 + off;
        const u8* r = p2 + off;
        u8* d = dst + static_cast<std::size_t>(y) * bpl;
        for (int x = 0; x < width; ++x, d += 3) {
            d[0] = r[x];
            d[1] = g[x];
            d[2] = b[x];
        }
    }
    return true;
}

bool CPanoElement::CreateImage(u8* grey, int width, int height, int srcStride)
{
    if (!grey || width <= 0 || height <= 0)
        return false;
    if (!CreateImage(8, width, height))
        return false;
    u8* dst = GetBits();
    const std::size_t bpl = static_cast<std::size_t>(GetBPL());
    for (int y = 0; y < height; ++y)
        std::memcpy(dst + static_cast<std::size_t>(y) * bpl, grey + static_cast<std::ptrdiff_t>(y) * srcStride,
                    static_cast<std::size_t>(width));
    return true;
}

void CPanoElement::FreeImage()
{
    m_pDib->freeImage();
    FreeAlphaChannel();
    FreeBitmaskChannel();
    Free16Bitmask();
}

void CPanoElement::Unload()
{
    if (m_pDib->getFileName().empty())
        return;
    m_pDib->unload();
    FreeAlphaChannel();
}

void CPanoElement::Load()
{
    m_pDib->load();
}

PanoramaLib::IPanoElement* CPanoElement::CopyImage()
{
    VarnoBase::RefPtr<CPanoElement> copy = NewPanoElement(false);
    if (!copy)
        return nullptr;
    if (!copy->FromImage(this))
        return nullptr;
    return copy.Detach();
}

bool CPanoElement::CopyImage(IPanoElement* dst)
{
    if (!dst || dst->GetImageRect() != GetImageRect())
        return false;
    if (dst == this)
        return HasBits();
    // Rows are copied byte for byte: both sides must hold pixels of one depth.
    if (!HasBits() || !dst->HasBits() || dst->GetBPP() != GetBPP())
        return false;
    auto* target = dynamic_cast<CPanoElement*>(dst);
    if (m_pAlpha && !target)
        return false;

    const int h = GetHeight();
    const std::size_t srcBpl = static_cast<std::size_t>(GetBPL());
    const std::size_t dstBpl = static_cast<std::size_t>(dst->GetBPL());
    const std::size_t rowBytes = std::min(srcBpl, dstBpl);
    const u8* s = GetBits();
    u8* d = dst->GetBits();
    for (int y = 0; y < h; ++y)
        std::memcpy(d + static_cast<std::size_t>(y) * dstBpl, s + static_cast<std::size_t>(y) * srcBpl, rowBytes);

    if (m_pAlpha) {
        target->AddAlphaChannel(false);
        if (target->m_pAlpha)
            std::memcpy(target->m_pAlpha, m_pAlpha, PlaneLength());
    }
    return true;
}

bool CPanoElement::FromImage(const IPanoElement* src)
{
    if (!src || !src->HasBits())
        return false;
    PanoramaLib::IDib* copy = nullptr;
    try {
        copy = PanoramaLib::CopyStore(src->GetDib());
    } catch (const PanoramaLib::dibException&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!copy)
        return false;
    copy->AddRef();
    m_pDib->Release();
    m_pDib = copy;
    DropStalePlanes();

    if (const u8* srcAlpha = src->GetAlphaBits()) {
        AddAlphaChannel(false);
        if (m_pAlpha && m_pAlpha != srcAlpha)  // a copy from itself keeps its own plane
            std::memcpy(m_pAlpha, srcAlpha, PlaneLength());
    }
    m_position = src->GetImageRect().topLeft();
    return true;
}

void CPanoElement::FlattenImage()
{
    if (GetBPP() != 24)
        return;
    if (m_pAlpha && HasBits()) {
        const int w = GetWidth();
        const int h = GetHeight();
        const std::size_t bpl = static_cast<std::size_t>(GetBPL());
        const std::size_t abpl = static_cast<std::size_t>(GetAlphaBPL());
        u8* bits = GetBits();
        const u8* alpha = m_pAlpha;
        Utils::ParallelForRows(h, w, [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                u8* p = bits + static_cast<std::size_t>(y) * bpl;
                const u8* a = alpha + static_cast<std::size_t>(y) * abpl;
                for (int x = 0; x < w; ++x, p += 3)
                    if (a[x] == 0)
                        p[0] = p[1] = p[2] = 255;
            }
        });
    }
    FreeAlphaChannel();
}

// ---------------------------------------------------------------------------------
// Filling and planes

bool CPanoElement::FillWhiteColor()
{
    return FillByValue(255);
}

bool CPanoElement::FillByValue(u8 v)
{
    if (!HasBits())
        return false;
    const int bpp = GetBPP();
    if (bpp != 8 && bpp != 24)
        return false;
    const std::size_t bpl = static_cast<std::size_t>(GetBPL());
    u8* bits = GetBits();
    Utils::ParallelForRows(GetHeight(), static_cast<std::int64_t>(bpl), [&](int y0, int y1) {
        std::memset(bits + static_cast<std::size_t>(y0) * bpl, v, static_cast<std::size_t>(y1 - y0) * bpl);
    });
    return true;
}

void CPanoElement::FillAlphaByValue(const Rect& r, u8 v, bool local)
{
    if (!m_pAlpha)
        return;
    const Rect image = local ? Rect(0, 0, GetWidth(), GetHeight()) : GetImageRect();
    Rect part = r & image;
    if (part.isEmpty())
        return;
    if (!local)
        part.offset(-m_position.x, -m_position.y);
    const std::size_t abpl = static_cast<std::size_t>(GetAlphaBPL());
    for (int y = part.top; y < part.bottom; ++y)
        std::memset(m_pAlpha + static_cast<std::size_t>(y) * abpl + static_cast<std::size_t>(part.left), v,
                    static_cast<std::size_t>(part.width()));
}

void CPanoElement::AddAlphaChannel(bool opaque)
{
    DropStalePlanes();
    if (m_pAlpha || !HasBits())
        return;
    m_pAlpha = new u8[PlaneLength()];
    const std::size_t abpl = static_cast<std::size_t>(GetAlphaBPL());  // the plane is abpl x height
    u8* alpha = m_pAlpha;
    Utils::ParallelForRows(GetHeight(), static_cast<std::int64_t>(abpl), [&](int y0, int y1) {
        std::memset(alpha + static_cast<std::size_t>(y0) * abpl, opaque ? 255 : 0,
                    static_cast<std::size_t>(y1 - y0) * abpl);
    });
    m_alphaSize = GetImageSize();
}

void CPanoElement::FreeAlphaChannel()
{
    delete[] m_pAlpha;
    m_pAlpha = nullptr;
}

void CPanoElement::FreeBitmaskChannel()
{
    delete[] m_pBitmask;
    m_pBitmask = nullptr;
}

void CPanoElement::Free16Bitmask()
{
    delete[] m_pBitmask16;
    m_pBitmask16 = nullptr;
}

u8* CPanoElement::CreateBitmaskFromAlpha()
{
    DropStalePlanes();
    if (m_pBitmask)
        return m_pBitmask;
    const std::size_t n = PlaneLength();
    if (n == 0)
        return nullptr;
    u8* mask = new (std::nothrow) u8[n];
    if (!mask)
        return nullptr;
    if (m_pAlpha)
        std::memcpy(mask, m_pAlpha, n);
    else
        std::memset(mask, 255, n);
    m_pBitmask = mask;
    m_bitmaskSize = GetImageSize();
    return m_pBitmask;
}

u8* CPanoElement::CreateBitmask()
{
    DropStalePlanes();
    if (m_pBitmask)
        return m_pBitmask;
    const std::size_t n = PlaneLength();
    if (n == 0)
        return nullptr;
    m_pBitmask = new (std::nothrow) u8[n];
    if (m_pBitmask)
        m_bitmaskSize = GetImageSize();
    return m_pBitmask;
}

u16* CPanoElement::Create16Bitmask()
{
    DropStalePlanes();
    if (m_pBitmask16)
        return m_pBitmask16;
    const std::size_t n = PlaneLength();
    if (n == 0)
        return nullptr;
    m_pBitmask16 = new u16[n]();
    m_bitmask16Size = GetImageSize();
    return m_pBitmask16;
}

// ---------------------------------------------------------------------------------
// Cut-outs

CPanoElement* CPanoElement::CutRectangle(Rect r, bool withAlpha)
{
    if (r.isEmpty() || !HasBits() || (r & GetImageRect()) != r)
        return nullptr;
    VarnoBase::RefPtr<CPanoElement> cut = NewPanoElement(false);
    if (!cut)
        return nullptr;
    if (!cut->CreateImage(GetBPP(), r.width(), r.height()))
        return nullptr;
    cut->m_position = r.topLeft();
    if (withAlpha && m_pAlpha)
        cut->AddAlphaChannel(false);

    const std::size_t pixelBytes = static_cast<std::size_t>(GetBPP() / 8);
    const std::size_t x0 = static_cast<std::size_t>(r.left - m_position.x);
    const std::size_t y0 = static_cast<std::size_t>(r.top - m_position.y);
    const std::size_t rowBytes = pixelBytes * static_cast<std::size_t>(r.width());
    const std::size_t srcBpl = static_cast<std::size_t>(GetBPL());
    const std::size_t dstBpl = static_cast<std::size_t>(cut->GetBPL());
    const u8* src = GetBits();
    u8* dst = cut->GetBits();
    Utils::ParallelForRows(r.height(), static_cast<std::int64_t>(rowBytes), [&](int b0, int b1) {
        for (int y = b0; y < b1; ++y)
            std::memcpy(dst + static_cast<std::size_t>(y) * dstBpl,
                        src + (y0 + static_cast<std::size_t>(y)) * srcBpl + x0 * pixelBytes, rowBytes);
    });

    if (cut->m_pAlpha) {
        const std::size_t srcAbpl = static_cast<std::size_t>(GetAlphaBPL());
        const std::size_t dstAbpl = static_cast<std::size_t>(cut->GetAlphaBPL());
        for (int y = 0; y < r.height(); ++y)
            std::memcpy(cut->m_pAlpha + static_cast<std::size_t>(y) * dstAbpl,
                        m_pAlpha + (y0 + static_cast<std::size_t>(y)) * srcAbpl + x0,
                        static_cast<std::size_t>(r.width()));
    }
    return cut.Detach();
}

namespace {

// A new 8-bit element of r's size holding the bytes of `plane` inside r (zero elsewhere).
CPanoElement* CutPlane(const CPanoElement& e, const u8* plane, Rect r)
{
    if (r.isEmpty() || !plane)
        return nullptr;
    VarnoBase::RefPtr<CPanoElement> cut = NewPanoElement(false);
    if (!cut)
        return nullptr;
    if (!cut->CreateImage(8, r.width(), r.height()) || !cut->FillByValue(0))
        return nullptr;
    const Rect part = r & e.GetImageRect();
    if (part.isEmpty())
        return cut.Detach();
    const VarnoBase::Point pos = e.GetPosition();
    const std::size_t srcBpl = static_cast<std::size_t>(e.GetAlphaBPL());
    const std::size_t dstBpl = static_cast<std::size_t>(cut->GetBPL());
    u8* dst = cut->GetBits();
    for (int y = part.top; y < part.bottom; ++y)
        std::memcpy(dst + static_cast<std::size_t>(y - r.top) * dstBpl + static_cast<std::size_t>(part.left - r.left),
                    plane + static_cast<std::size_t>(y - pos.y) * srcBpl + static_cast<std::size_t>(part.left - pos.x),
                    static_cast<std::size_t>(part.width()));
    return cut.Detach();
}

}  // namespace

CPanoElement* CPanoElement::CutAlphaChannelRectangle(Rect r)
{
    return CutPlane(*this, m_pAlpha, r);
}

CPanoElement* CPanoElement::CutBitmaskChannelRectangle(Rect r)
{
    return CutPlane(*this, m_pBitmask, r);
}

// ---------------------------------------------------------------------------------
// Free functions

CPanoElement* CreateGrayImage(const CPanoElement* src)
{
    if (!src || !src->HasBits())
        return nullptr;
    VarnoBase::RefPtr<CPanoElement> grey = NewPanoElement(false);
    if (!grey)
        return nullptr;
    if (src->GetBPP() == 8) {
        if (!grey->FromImage(src))
            return nullptr;
        return grey.Detach();
    }
    const int w = src->GetWidth();
    const int h = src->GetHeight();
    if (src->GetBPP() != 24 || !grey->CreateImage(8, w, h))
        return nullptr;
    const std::size_t srcBpl = static_cast<std::size_t>(src->GetBPL());
    const std::size_t dstBpl = static_cast<std::size_t>(grey->GetBPL());
    const u8* s = src->GetBits();
    u8* d = grey->GetBits();
    for (int y = 0; y < h; ++y) {
        const u8* p = s + static_cast<std::size_t>(y) * srcBpl;
        u8* q = d + static_cast<std::size_t>(y) * dstBpl;
        for (int x = 0; x < w; ++x, p += 3)
            q[x] = static_cast<u8>((grB[p[2]] + grG[p[1]] + grR[p[0]]) / 100);
    }
    return grey.Detach();
}

void show_rect(CPanoElement* e, Rect r, int channel)
{
    if (!e || !e->HasBits() || e->GetBPP() != 24 || channel < 0 || channel > 2 || r.isEmpty())
        return;
    const Rect image = e->GetImageRect();
    const VarnoBase::Point pos = e->GetPosition();
    const std::size_t bpl = static_cast<std::size_t>(e->GetBPL());
    u8* bits = e->GetBits();
    auto mark = [&](int x, int y) {
        if (image.contains({x, y}))
            bits[static_cast<std::size_t>(y - pos.y) * bpl + static_cast<std::size_t>(x - pos.x) * 3 +
                 static_cast<std::size_t>(channel)] = 255;
    };
    for (int x = std::max(r.left, image.left); x < std::min(r.right, image.right); ++x) {
        mark(x, r.top);
        mark(x, r.bottom - 1);
    }
    for (int y = std::max(r.top, image.top); y < std::min(r.bottom, image.bottom); ++y) {
        mark(r.left, y);
        mark(r.right - 1, y);
    }
}

void FreePictureCollection(std::vector<CPanoElement*>& v)
{
    for (CPanoElement* e : v)
        if (e)
            e->Release();
    v.clear();
}

VarnoBase::RefPtr<CPanoElement> NewPanoElement(bool threadSafe)
{
    VarnoBase::RefPtr<CPanoElement> e;
    e.Adopt(new (std::nothrow) CPanoElement(threadSafe));
    return e;
}
