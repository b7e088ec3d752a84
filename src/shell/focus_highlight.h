#pragma once

class QAbstractItemView;

namespace trevik::shell {

// Draws a view's selection in the palette's highlight while the view has the focus and
// in the inactive highlight (a paler shade where the style gives none of its own) while
// another pane has it, so that the pane the keys act on can be told at a glance. A popup
// (a context menu) taking the focus for a moment changes nothing.
void MarkSelectionByFocus(QAbstractItemView* view);

} // namespace trevik::shell
