// Hotspots: clickable areas of the window, optionally shaped by a mask,
// that run script code when clicked and show roll-over and pressed images
// on layers while the mouse is over them or pressed on them.
//
// A HOTSPOT element (type 23) owns a bundle of WHEN triggers (vm/triggers.h)
// whose regions test the pointer against its area and whose actions call
// the internal event commands cmd_rollin, cmd_rollout, cmd_curin,
// cmd_curout, cmd_hotdown, cmd_hotup and cmd_hotout with the hotspot. The
// events therefore fire in trigger order, through the trigger queue, and
// wait while the script is deeper in subroutines than where the hotspot
// was made (unless var_wheninsub is set), as triggers do.
#pragma once

namespace host {

// Registers the element type's clean-up, the internal event commands and
// the context closer.
void hotspots_register();
// Lets the links of HTML text make hotspots (host/markup_links.cpp).
void markup_links_register();

}  // namespace host
