#pragma once

class QMessageBox;

// Alerts as wide as their texts need: a message box left to itself takes the width of its short title
// line and then breaks a host name, an address or a path over several lines.
namespace AlertSizing {

// Widens the box's text column to a comfortable reading width, or to its text when shorter, and to no
// less than its words need. Call it again whenever a text changes; a visible box is laid out anew.
void fitToText(QMessageBox &box);

} // namespace AlertSizing
