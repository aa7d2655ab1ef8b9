// A Qt Quick window with one text field, run by Qt's own `qml` tool for the
// third-party paste test: prints the field's text when Return is pressed.
import QtQuick
import QtQuick.Controls

ApplicationWindow {
    title: "Dravelin Qt Quick field"
    width: 400
    height: 80
    visible: true

    TextField {
        anchors.fill: parent
        focus: true
        onAccepted: {
            console.info("field:" + text);
            Qt.quit();
        }
    }
}
