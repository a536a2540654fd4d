// The link layer: one link per view and the network place, placed by the node view. It lets
// every mouse event it does not use through to the page below.
import QtQuick 2.15

Item {
}
