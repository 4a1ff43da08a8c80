#pragma once
// Asks the desktop to repaint everything, so a capture that has not seen a
// change yet gets an image. Windows: RedrawWindow of the whole desktop; Linux:
// nothing to ask (the X server's copy always has the picture).

namespace orvane {

// False (logged) when the platform refused.
bool RedrawDesktop();

}  // namespace orvane
