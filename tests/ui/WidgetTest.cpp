// The control wrappers against the controls of the installer's real main dialog.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

#include "resources/resource.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/ProgressBarWidget.h"
#include "ui/Widgets.h"

namespace {

INT_PTR CALLBACK PlainDialogProc(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

// What a control's update region looked like at the moment WM_SETTEXT reached it.
struct SetTextProbe {
    WNDPROC original = nullptr;
    bool sawSetText = false;
    bool hadUpdate = false;
    RECT update = {};
};
SetTextProbe g_probe;

LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETTEXT) {
        g_probe.sawSetText = true;
        g_probe.hadUpdate = GetUpdateRect(window, &g_probe.update, FALSE) != FALSE;
    }
    return CallWindowProcA(g_probe.original, window, message, wParam, lParam);
}

// One dialog for the whole suite: destroying a visible window costs about 2 s
// under Wine without a window manager. Each test starts from the same control state.
class WidgetTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        probe = new uitest::ProgressProbe();
        dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_INSTALLER),
                                    nullptr, PlainDialogProc, 0);
    }

    static void TearDownTestSuite() {
        if (dialog != nullptr) {
            DestroyWindow(dialog);
            dialog = nullptr;
        }
        delete probe;
        probe = nullptr;
        uitest::clearQuit();
    }

    void SetUp() override {
        ASSERT_NE(dialog, nullptr) << "CreateDialogParamA failed";
        ASSERT_TRUE(probe->installed());
        EnableWindow(item(IDC_CONNECT), TRUE);
        EnableWindow(item(IDC_UPDATE), TRUE);
        EnableWindow(item(IDC_PROGRESS), FALSE);
        SendMessageA(item(IDC_PROGRESS), PBM_SETRANGE32, 0, 100);
        SendMessageA(item(IDC_PROGRESS), PBM_SETPOS, 0, 0);
        SendMessageA(item(IDC_PROGRESS), PBM_SETSTATE, PBST_NORMAL, 0);
        SendMessageA(item(IDC_PORT_LIST), CB_RESETCONTENT, 0, 0);
        uitest::pumpFor(20);
        probe->clear();
    }

    static HWND item(int id) { return GetDlgItem(dialog, id); }

    // Paints everything, then hooks control `id` to see its update region at WM_SETTEXT.
    void probeSetText(int id) {
        UpdateWindow(dialog);
        uitest::pumpFor(20);
        ValidateRect(item(id), nullptr);
        g_probe = SetTextProbe();
        g_probe.original = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(item(id), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(ProbeProc)));
        ASSERT_NE(g_probe.original, nullptr);
    }

    void unprobeSetText(int id) {
        SetWindowLongPtrA(item(id), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_probe.original));
    }

    int barPosition() const { return static_cast<int>(SendMessageA(item(IDC_PROGRESS), PBM_GETPOS, 0, 0)); }
    int barState() const { return probe->lastState(); }
    PBRANGE barRange() const {
        PBRANGE range = {};
        SendMessageA(item(IDC_PROGRESS), PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
        return range;
    }

    static HWND dialog;
    static uitest::ProgressProbe* probe;
};

HWND WidgetTest::dialog = nullptr;
uitest::ProgressProbe* WidgetTest::probe = nullptr;

TEST_F(WidgetTest, ButtonIsDisabledFromConstructionUntilEnabled) {
    for (int id : {IDC_CONNECT, IDC_UPDATE}) {
        ASSERT_TRUE(IsWindowEnabled(item(id))) << "the template creates button " << id << " enabled";
        ButtonWidget button(dialog, id);
        EXPECT_EQ(button.handle, item(id));
        EXPECT_FALSE(IsWindowEnabled(item(id))) << id;
        EXPECT_FALSE(button.isEnabled()) << id;
        button.enable(true);
        EXPECT_TRUE(IsWindowEnabled(item(id))) << id;
        EXPECT_TRUE(button.isEnabled()) << id;
        button.enable(false);
        EXPECT_FALSE(button.isEnabled()) << id;
    }
}

TEST_F(WidgetTest, WrapperLeavesTheControlAliveWhenDestroyed) {
    {
        ButtonWidget button(dialog, IDC_CONNECT);
        LabelWidget label(dialog, IDC_RELEASE_LABEL);
    }
    EXPECT_TRUE(IsWindow(item(IDC_CONNECT)));
    EXPECT_TRUE(IsWindow(item(IDC_RELEASE_LABEL)));
}

TEST_F(WidgetTest, ProgressBarConstructionDisablesButLeavesTheControlsRange) {
    SendMessageA(item(IDC_PROGRESS), PBM_SETRANGE32, 0, 57);
    EnableWindow(item(IDC_PROGRESS), TRUE);
    probe->clear();
    ProgressBarWidget bar(dialog, IDC_PROGRESS);
    EXPECT_FALSE(IsWindowEnabled(item(IDC_PROGRESS)));
    EXPECT_EQ(bar.minimum, 0);
    EXPECT_EQ(bar.maximum, 99);
    EXPECT_EQ(bar.position, 0);
    EXPECT_EQ(bar.stepSize, 1);
    // The fields say 0 to 99, but the control keeps its range until Configure.
    EXPECT_TRUE(probe->messages().empty());
    EXPECT_EQ(barRange().iHigh, 57);
}

TEST_F(WidgetTest, ConfigureSendsStateRangeStepAndPositionInThatOrder) {
    ProgressBarWidget bar(dialog, IDC_PROGRESS);
    probe->clear();
    bar.Configure(12);
    const std::vector<uitest::ProgressProbe::Message> sent = probe->messages();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].message, static_cast<UINT>(PBM_SETSTATE));
    EXPECT_EQ(sent[0].wParam, static_cast<WPARAM>(PBST_NORMAL));
    EXPECT_EQ(sent[1].message, static_cast<UINT>(PBM_SETRANGE32));
    EXPECT_EQ(sent[1].wParam, 0u);
    EXPECT_EQ(sent[1].lParam, 12);
    EXPECT_EQ(sent[2].message, static_cast<UINT>(PBM_SETSTEP));
    EXPECT_EQ(sent[2].wParam, 1u);
    EXPECT_EQ(sent[3].message, static_cast<UINT>(PBM_SETPOS));
    EXPECT_EQ(sent[3].wParam, 0u);

    probe->clear();
    bar.MarqueeOff();
    ASSERT_EQ(probe->messages().size(), 1u);
    EXPECT_EQ(probe->messages()[0].message, static_cast<UINT>(PBM_SETMARQUEE));
    EXPECT_EQ(probe->messages()[0].wParam, static_cast<WPARAM>(FALSE));
}

TEST_F(WidgetTest, ConfigureEnablesResetsStateAndSetsTheRange) {
    ProgressBarWidget bar(dialog, IDC_PROGRESS);
    bar.SetState(PBST_ERROR);
    ASSERT_EQ(barState(), PBST_ERROR);
    bar.Configure(12);
    EXPECT_TRUE(IsWindowEnabled(item(IDC_PROGRESS)));
    EXPECT_EQ(barState(), PBST_NORMAL);
    PBRANGE range = barRange();
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 12);
    EXPECT_EQ(barPosition(), 0);
    EXPECT_EQ(bar.minimum, 0);
    EXPECT_EQ(bar.maximum, 12);
    EXPECT_EQ(bar.position, 0);
    EXPECT_EQ(bar.stepSize, 1);
}

TEST_F(WidgetTest, StepsClampAtTheTopOfTheRange) {
    ProgressBarWidget bar(dialog, IDC_PROGRESS);
    bar.Configure(12);
    for (int step = 1; step <= 13; ++step) {
        bar.Step();
        int expected = step < 12 ? step : 12;
        EXPECT_EQ(bar.position, expected) << "after step " << step;
        EXPECT_EQ(barPosition(), expected) << "after step " << step;
    }
}

// Once per record: the count is exact at every step, the control may lag between the ends
// but never leads, and an error state shows where the steps stopped.
TEST_F(WidgetTest, PacedStepsCountEveryRecordAndShowTheTopAndTheStoppingPoint) {
    ProgressBarWidget bar(dialog, IDC_PROGRESS);
    bar.Configure(12);
    for (int step = 1; step <= 13; ++step) {
        bar.StepPaced();
        EXPECT_EQ(bar.position, step < 12 ? step : 12) << "after step " << step;
        EXPECT_LE(barPosition(), bar.position) << "after step " << step;
    }
    EXPECT_EQ(barPosition(), 12) << "the top of the range is always shown";
    // A hundred quick steps: the control gets a position at most once per PacedRedrawMs.
    const ULONGLONG start = GetTickCount64();
    bar.Configure(1000);
    probe->clear();
    for (int step = 0; step < 100; ++step) bar.StepPaced();
    const ULONGLONG elapsed = GetTickCount64() - start;
    const std::vector<uitest::ProgressProbe::Message> sent = probe->messages();
    const auto positions = std::count_if(sent.begin(), sent.end(), [](const uitest::ProgressProbe::Message& m) {
        return m.message == PBM_SETPOS;
    });
    EXPECT_LE(positions, static_cast<std::ptrdiff_t>(elapsed / ProgressBarWidget::PacedRedrawMs)) << elapsed << " ms";
    bar.SetState(PBST_ERROR);
    EXPECT_EQ(barPosition(), 100) << "the error state shows an older position";
}

TEST_F(WidgetTest, BarConfiguredForZeroNeverMoves) {
    ProgressBarWidget bar(dialog, IDC_PROGRESS);
    bar.Configure(0);
    for (int step = 0; step < 5; ++step) {
        bar.Step();
    }
    EXPECT_EQ(bar.position, 0);
    EXPECT_EQ(barPosition(), 0);
}

TEST_F(WidgetTest, StepComparesSignedAndNeverWraps) {
    ProgressBarWidget bar(dialog, IDC_PROGRESS);
    bar.Configure(10);
    bar.position = -5;  // below the minimum: the step lands on the minimum
    bar.Step();
    EXPECT_EQ(bar.position, 0);
    EXPECT_EQ(barPosition(), 0);

    bar.maximum = INT_MAX;
    bar.position = INT_MAX;
    bar.Step();
    EXPECT_EQ(bar.position, INT_MAX);
}

TEST_F(WidgetTest, ResetOnlyMovesThePositionBackToZero) {
    ProgressBarWidget bar(dialog, IDC_PROGRESS);
    bar.Configure(20);
    for (int step = 0; step < 5; ++step) {
        bar.Step();
    }
    bar.SetState(PBST_ERROR);
    bar.enable(false);
    bar.Reset();
    EXPECT_EQ(bar.position, 0);
    EXPECT_EQ(barPosition(), 0);
    EXPECT_EQ(barRange().iHigh, 20);
    EXPECT_EQ(bar.maximum, 20);
    EXPECT_EQ(barState(), PBST_ERROR);
    EXPECT_FALSE(IsWindowEnabled(item(IDC_PROGRESS)));
}

TEST_F(WidgetTest, EditBoxIsRepaintedWholeBeforeItsTextChanges) {
    EditWidget box(dialog, IDC_CONNECTION_BOX);
    box.setText("A much longer text that fills a good part of the box");
    probeSetText(IDC_CONNECTION_BOX);
    box.setText("Short");
    unprobeSetText(IDC_CONNECTION_BOX);

    ASSERT_TRUE(g_probe.sawSetText);
    ASSERT_TRUE(g_probe.hadUpdate) << "nothing was invalidated before WM_SETTEXT";
    RECT client;
    GetClientRect(item(IDC_CONNECTION_BOX), &client);
    EXPECT_TRUE(EqualRect(&g_probe.update, &client))
        << "update " << g_probe.update.left << "," << g_probe.update.top << ","
        << g_probe.update.right << "," << g_probe.update.bottom;
    EXPECT_EQ(uitest::itemText(dialog, IDC_CONNECTION_BOX), "Short");
}

TEST_F(WidgetTest, LabelOnlySetsItsText) {
    LabelWidget label(dialog, IDC_RELEASE_LABEL);
    probeSetText(IDC_RELEASE_LABEL);
    label.setText("v9.99");
    unprobeSetText(IDC_RELEASE_LABEL);

    ASSERT_TRUE(g_probe.sawSetText);
    EXPECT_FALSE(g_probe.hadUpdate) << "a label is not invalidated before its text is set";
    EXPECT_EQ(uitest::itemText(dialog, IDC_RELEASE_LABEL), "v9.99");
}

TEST_F(WidgetTest, PortListKeepsRowsInTheOrderAddedAndReportsItsSelection) {
    ComboWidget list(dialog, IDC_PORT_LIST);
    EXPECT_EQ(list.selectedRow(), CB_ERR);
    EXPECT_EQ(list.addRow("COM3, (Second)"), 0);
    EXPECT_EQ(list.addRow("COM1, (First)"), 1);
    char text[64] = {};
    SendMessageA(item(IDC_PORT_LIST), CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, "COM3, (Second)") << "the list must not be sorted";
    list.selectRow(1);
    EXPECT_EQ(list.selectedRow(), 1);
    list.selectRow(-1);
    EXPECT_EQ(list.selectedRow(), CB_ERR);
    list.enable(false);
    EXPECT_FALSE(IsWindowEnabled(item(IDC_PORT_LIST)));
    list.enable(true);
    EXPECT_TRUE(IsWindowEnabled(item(IDC_PORT_LIST)));
}

}  // namespace
