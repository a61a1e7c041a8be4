// The engines' image: a pixel store placed in world (canvas) coordinates, with a
// working-copy scale and optional alpha, mask and 16-bit weight planes. Alpha and
// mask rows are (width + 3) & ~3 bytes apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/dib.h"
#include "core/geometry.h"
#include "core/refcount.h"

using u8 = unsigned char;
using u16 = std::uint16_t;

namespace PanoramaLib {

class IPanoElement {
public:
    virtual long AddRef() = 0;
    virtual long Release() = 0;
    virtual bool Save(std::wstring path) = 0;
    virtual bool FromFile(std::wstring path) = 0;
    virtual bool CreateImage(int bpp, int width, int height) = 0;
    // Planes given blue, green, red (the store's byte order is red, green, blue).
    virtual bool CreateImage(u8* p0, u8* p1, u8* p2, int width, int height, int srcStride) = 0;
    virtual bool CreateImage(u8* grey, int width, int height, int srcStride) = 0;
    virtual void FreeImage() = 0;
    virtual void Unload() = 0;
    virtual void Load() = 0;
    virtual IPanoElement* CopyImage() = 0;
    virtual bool CopyImage(IPanoElement* dst) = 0;
    virtual u8* GetAlphaBits() const = 0;
    virtual int GetAlphaBPL() const = 0;
    virtual void FlattenImage() = 0;
    virtual IDib* GetDib() const = 0;
    virtual VarnoBase::Size GetImageSize() const = 0;
    virtual VarnoBase::Rect GetImageRect() const = 0;
    virtual int GetWidth() const = 0;
    virtual int GetHeight() const = 0;
    virtual int GetBPP() const = 0;
    virtual int GetBPL() const = 0;
    virtual u8* GetBits() const = 0;
    virtual bool HasBits() const = 0;
    virtual std::wstring GetFileName() const = 0;
    virtual std::wstring GetPathName() const = 0;
    virtual void SetPathName(std::wstring path) = 0;
    virtual std::wstring GetErrorMessage() const = 0;
    virtual ~IPanoElement() = default;

    static void SafeRelease(IPanoElement* p)
    {
        if (p)
            p->Release();
    }
};

IPanoElement* CreateDibObject(bool threadSafe);
void InitPictureCollection(std::vector<IPanoElement*>& v, int n);
void FreePictureCollection(std::vector<IPanoElement*>& v);

}  // namespace PanoramaLib

class CPanoElement : public VarnoBase::RefCounter, public PanoramaLib::IPanoElement {
public:
    explicit CPanoElement(bool threadSafe = false);
    ~CPanoElement() override;

    // IPanoElement
    long AddRef() override { return RefCounter::AddRef(); }
    long Release() override { return RefCounter::Release(); }
    bool Save(std::wstring path) override;
    bool FromFile(std::wstring path) override;
    bool CreateImage(int bpp, int width, int height) override;
    bool CreateImage(u8* p0, u8* p1, u8* p2, int width, int height, int srcStride) override;
    bool CreateImage(u8* grey, int width, int height, int srcStride) override;
    void FreeImage() override;
    void Unload() override;
    void Load() override;
    PanoramaLib::IPanoElement* CopyImage() override;
    bool CopyImage(PanoramaLib::IPanoElement* dst) override;
    u8* GetAlphaBits() const override { return m_pAlpha; }
    int GetAlphaBPL() const override { return (GetWidth() + 3) & ~3; }
    void FlattenImage() override;
    PanoramaLib::IDib* GetDib() const override { return m_pDib; }
    VarnoBase::Size GetImageSize() const override;
    VarnoBase::Rect GetImageRect() const override;
    int GetWidth() const override;
    int GetHeight() const override;
    int GetBPP() const override;
    int GetBPL() const override;
    u8* GetBits() const override;
    bool HasBits() const override;
    std::wstring GetFileName() const override;
    std::wstring GetPathName() const override;
    void SetPathName(std::wstring path) override;
    std::wstring GetErrorMessage() const override { return m_errorMessage; }

    // Own operations
    bool CreateImage(bool colour, int width, int height, bool allocate);
    bool FillWhiteColor();
    bool FillByValue(u8 v);
    void FillAlphaByValue(const VarnoBase::Rect& r, u8 v, bool local);
    void AddAlphaChannel(bool opaque);
    void FreeAlphaChannel();
    void FreeBitmaskChannel();
    void Free16Bitmask();
    u8* CreateBitmaskFromAlpha();
    u8* CreateBitmask();
    u16* Create16Bitmask();
    u8* GetBitmaskBits() const { return m_pBitmask; }
    u16* Get16BitmaskBits() const { return m_pBitmask16; }
    // Values per row of the 16-bit weight plane: the width rounded up to a multiple of 4.
    int Get16BitmaskWPL() const { return (GetWidth() + 3) & ~3; }
    int GetBitmaskBPL() const { return (GetWidth() + 3) & ~3; }
    bool FromImage(const PanoramaLib::IPanoElement* src);
    VarnoBase::Rect GetAlphaBoundaryRect(const VarnoBase::Rect* clip, int threshold, bool invert) const;
    VarnoBase::Rect GetBitmaskRect(const VarnoBase::Rect* clip) const;
    VarnoBase::Rect GetCropRect(int percent);
    CPanoElement* CutRectangle(VarnoBase::Rect r, bool withAlpha);
    CPanoElement* CutAlphaChannelRectangle(VarnoBase::Rect r);
    CPanoElement* CutBitmaskChannelRectangle(VarnoBase::Rect r);

    VarnoBase::Point GetPosition() const { return m_position; }
    void SetPosition(VarnoBase::Point p) { m_position = p; }

    // Store factory of the program, set by the engine factories before any element exists.
    static PanoramaLib::IDibManager* m_pIDibManager;

    PanoramaLib::IDib* m_pDib = nullptr;
    VarnoBase::Point m_position;
    double m_scale = 1.0;  // full size / working size; kept by the engines
    u8* m_pAlpha = nullptr;
    u8* m_pBitmask = nullptr;
    u16* m_pBitmask16 = nullptr;
    std::wstring m_errorMessage;

private:
    VarnoBase::Rect GetCropRectHorz(int percent);
    VarnoBase::Rect GetCropRectVert(int percent);
    // Frees every plane that was made for another size than the current image's.
    void DropStalePlanes();
    std::size_t PlaneLength() const;  // GetAlphaBPL() x height, 64-bit

    // The size each plane was allocated for.
    VarnoBase::Size m_alphaSize;
    VarnoBase::Size m_bitmaskSize;
    VarnoBase::Size m_bitmask16Size;
};

CPanoElement* CreateGrayImage(const CPanoElement* src);
void show_rect(CPanoElement* e, VarnoBase::Rect r, int channel);

// Accelerator tables for integer grey conversion and bilinear weights.
extern int grB[256];        // 30 * i
extern int grG[256];        // 59 * i
extern int grR[256];        // 11 * i
extern int byte255[256];    // 255 * i
extern int bi_table[16][16];  // i * j
void InitAcceleratorTables();

// Releases every element of the list and empties it.
void FreePictureCollection(std::vector<CPanoElement*>& v);

// A new element held by its only reference; null when memory is short. Detach() hands
// the reference on where a function returns a raw element.
VarnoBase::RefPtr<CPanoElement> NewPanoElement(bool threadSafe);
