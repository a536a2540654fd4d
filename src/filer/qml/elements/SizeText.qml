import QtQml 2.15

// Byte counts as the drive rows show them: whole megabytes below a gigabyte, else gigabytes.
QtObject {
    function format(bytes) {
        var b = Number(bytes)
        if (!(b > 0))
            return "0 MB"
        if (b < 1000 * 1000 * 1000)
            return Math.round(b / (1000 * 1000)) + " MB"
        var gb = b / (1000 * 1000 * 1000)
        return (gb < 10 ? gb.toFixed(1) : Math.round(gb)) + " GB"
    }
}
