// A main window holding a rendered panorama (two generated photos stitched by the real
// H/V engine and rendered at full size), so the Export panel is enabled; and a PDF
// printer with its page count, for print tests. GUI thread.
#pragma once

#include <QFile>
#include <QPrinter>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "browser/file_list_model.h"
#include "tests/app/window_fixture.h"
#include "tests/support/scene.h"

class RenderedWindowTest : public WindowTest {
protected:
    void SetUp() override
    {
        w->trayModel()->setFileList(photos().paths);
        w->document().setTaskMode(TaskMode::TaskStitch);  // loads the photos
        ui().btnStitch->click();
        w->document().setTaskMode(TaskMode::TaskExport);
        ui().btnRender->click();
        ASSERT_TRUE(w->document().enableBtnSave());
        ASSERT_TRUE(ui().btnPrint->isEnabled());
    }

    static const vltest::PhotoSet& photos()
    {
        static const vltest::Scene scene(vltest::smallSceneOptions(3));
        // Translation and scale: the panel's default model.
        static const vltest::PhotoSet set =
            vltest::makeStripPhotoSet(scene, {.count = 2, .width = 400, .height = 300, .motion = vltest::Motion::TranslateScale});
        return set;
    }

    // A PDF printer writing to out/<name>.pdf at a low resolution, no page margins.
    void makePdf(QPrinter& printer, const QString& name)
    {
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(out.filePath(name + ".pdf"));
        printer.setResolution(150);
        printer.setPageSize(QPageSize(QPageSize::A4));
        printer.setPageOrientation(QPageLayout::Landscape);
        printer.setPageMargins(QMarginsF(0, 0, 0, 0));
    }

    static int pdfPages(const QString& file)
    {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return -1;
        return int(QString::fromLatin1(f.readAll()).count(QRegularExpression("/Type\\s*/Page(?![a-zA-Z])")));
    }

    QTemporaryDir out;
};
