// The document wired to fake engines, a fake window, tray and crop frame, with the
// "Warning" dialog answered from a script; small generated photo files on disk.
#pragma once

#include <gtest/gtest.h>

#include <QColor>
#include <QCoreApplication>
#include <QImage>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "document/panorama_doc.h"
#include "tests/support/fake_engines.h"
#include "tests/support/fake_window.h"
#include "tests/support/scene.h"

namespace doctest {

// The document with its one modal question answered by the test.
class ScriptedDoc : public PanoramaDoc {
public:
    ScriptedDoc(vltest::CallLog& log, EngineFactories factories)
        : PanoramaDoc(nullptr, std::move(factories)), m_log(log)
    {
    }

    int warningAnswer = 1;  // 1 Yes, 0 No
    bool warningDontShow = false;

protected:
    int runAboutToChangeDialog(bool& dontShow) override
    {
        m_log.Add("Warning");
        dontShow = warningDontShow;
        return warningAnswer;
    }

private:
    vltest::CallLog& m_log;
};

// Photo files of the given sizes, plain colours, written once per set.
inline vltest::PhotoSet MakeSizedPhotos(const std::vector<QSize>& sizes)
{
    std::vector<QImage> images;
    int hue = 0;
    for (const QSize& s : sizes) {
        QImage img(s, QImage::Format_RGB888);
        img.fill(QColor::fromHsv(hue, 200, 200));
        hue = (hue + 50) % 360;
        images.push_back(img);
    }
    return vltest::makePhotoSet(images, vltest::FileFormat::Png);
}

// Six 40 x 30 photos shared by the tests of one program.
inline const vltest::PhotoSet& SixPhotos()
{
    static const vltest::PhotoSet set = MakeSizedPhotos(std::vector<QSize>(6, QSize(40, 30)));
    return set;
}

inline std::vector<std::wstring> Paths(const vltest::PhotoSet& set, std::initializer_list<int> indices)
{
    std::vector<std::wstring> out;
    for (int i : indices)
        out.push_back(set.paths[i].toStdWString());
    return out;
}

class DocTest : public ::testing::Test {
public:
    vltest::CallLog log;
    vltest::FakeEngines engines{log};
    vltest::FakeWindow window{log};
    vltest::FakeTray tray{log};
    vltest::FakeCropFrame frame{log};
    std::unique_ptr<ScriptedDoc> doc;

    void TearDown() override { doc.reset(); }

    // Wires the document in the main window's order; the engines exist afterwards.
    void Wire(std::optional<EngineFactories> f = {})
    {
        doc = std::make_unique<ScriptedDoc>(log, f ? *f : engines.Factories());
        doc->setDocument(&tray);
        doc->setIUserInterface(&window, &window);
        doc->setIUpdate(&window);
        doc->setICropRect(&frame);
        tray.veto = doc.get();
    }

    // Wired, with `count` of the shared photos on the tray and in the collection.
    void WireWithPhotos(int count, std::optional<EngineFactories> f = {})
    {
        Wire(std::move(f));
        tray.files.clear();
        for (int i = 0; i < count; ++i)
            tray.files.push_back(SixPhotos().paths[i].toStdWString());
        doc->verifyPictureCollection();
        log.Clear();
    }

    // A successful build of the selected type with the fakes' default script.
    void Build()
    {
        ASSERT_TRUE(doc->onBtnStitch());
        log.Clear();
    }

    vltest::FakeHVEngine& Hv() { return *engines.hv; }
    vltest::FakeTiledEngine& Tiled() { return *engines.tiled; }
};

}  // namespace doctest
