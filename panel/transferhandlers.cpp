#include "cfrontpaneldlg.h"

// The image transfer commands. They start out empty: the transfer work fills
// them in.

void CFrontPanelDlg::OnSendImage()
{
}

void CFrontPanelDlg::OnReceiveImage()
{
}

void CFrontPanelDlg::OnTimer(int)
{
}

void CFrontPanelDlg::RestartPolling()
{
}
