#include "ui/CZorvanRankStatusBarPane.h"
#include "vpk/com_exception.h"
#include <cwchar>

namespace {

const wchar_t kNoRank[] = L"No rank";

ATL::CComBSTR MakeText(const wchar_t* text)
{
    ATL::CComBSTR copy(text);
    if (!copy) vpk::throw_hresult(E_OUTOFMEMORY);
    return copy;
}

}  // namespace

CZorvanRankStatusBarPane::CZorvanRankStatusBarPane() : rankText_(MakeText(kNoRank)) {}

void CZorvanRankStatusBarPane::SetRank(BSTR rank)
{
    Show(rank ? rank : L"");
}

void CZorvanRankStatusBarPane::ShowNoRank()
{
    Show(kNoRank);
}

ATL::CComBSTR CZorvanRankStatusBarPane::rankText() const
{
    ATL::CComCritSecLock<ATL::CComAutoCriticalSection> hold(textLock_);
    return MakeText(rankText_.m_str ? rankText_.m_str : L"");
}

HWND CZorvanRankStatusBarPane::CreateLabel()
{
    RECT place = {0, 0, 50, 20};
    // Made first, its text read after: a rank the worker stores meanwhile
    // either is in that text or reaches the label through SetWindowTextW.
    if (!label.Create(m_hWnd, place, nullptr, WS_CHILD | WS_VISIBLE, 0, 0U)) return nullptr;
    m_hWndLabel = label.m_hWnd;
    label.SetWindowText(rankText());
    label.ShowWindow(SW_SHOWNORMAL);
    return label.m_hWnd;
}

void CZorvanRankStatusBarPane::Show(const wchar_t* text)
{
    ATL::CComBSTR stored = MakeText(text);
    {
        ATL::CComCritSecLock<ATL::CComAutoCriticalSection> hold(textLock_);
        rankText_ = stored;
    }
    // Outside the lock: SetWindowTextW waits for the window's thread, which
    // may itself be waiting for the lock to read the text.
    if (m_hWnd && IsWindow(m_hWnd) && m_hWndLabel) SetWindowTextW(m_hWndLabel, stored);
}
