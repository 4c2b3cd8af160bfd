#include <gtest/gtest.h>

#include <string>

#include "platform/win/headless.h"
#include "report/report_error.h"

TEST(ReportError, ShowsTheMessageWithALineEndInAnOwnerlessBox) {
    winUseHeadless();
    winClearRecordedMessageBoxes();
    testing::internal::CaptureStderr();
    EXPECT_EQ(reportError("Rendering failed.\n"), IDOK);
    EXPECT_EQ(reportError("Loading %s failed.\n%s", "a b.x", "File not found."), IDOK);
    EXPECT_EQ(reportError("error in POINT at point No.(%d!=%d)\n", -1, 2147483647), IDOK);
    const std::string err = testing::internal::GetCapturedStderr();
    const auto& boxes = winRecordedMessageBoxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].text, "Rendering failed.\n\r\n");
    EXPECT_EQ(boxes[0].caption, "Viewer Message");
    EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OK));
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[1].text, "Loading a b.x failed.\nFile not found.\r\n");
    EXPECT_EQ(boxes[2].text, "error in POINT at point No.(-1!=2147483647)\n\r\n");
    EXPECT_NE(err.find("Rendering failed."), std::string::npos);
}

TEST(ReportError, LongMessagesAreCutToFitTheBuffer) {
    winUseHeadless();
    winClearRecordedMessageBoxes();
    testing::internal::CaptureStderr();
    const std::string path(600, 'p');
    reportError("Loading %s failed.\n%s", path.c_str(), "File not found.");
    reportError(path.c_str());
    testing::internal::GetCapturedStderr();
    const auto& boxes = winRecordedMessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    for (const auto& box : boxes) {
        EXPECT_EQ(box.text.size(), 255u);
        EXPECT_TRUE(box.text.ends_with("ppp\r\n"));
    }
    EXPECT_TRUE(boxes[0].text.starts_with("Loading ppp"));
}
