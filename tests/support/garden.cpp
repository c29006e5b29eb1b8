#include "garden.h"

#include <algorithm>

namespace {
const std::string loaded = "navigation " + startAddress + " cancel=0";
}

size_t countOf(const std::vector<std::string>& lines, std::string_view prefix) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](auto& line) { return line.starts_with(prefix); }));
}

std::string hex(HWND window) {
    char text[32];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
    return text;
}

void checkReleased(const fake::Record& record) {
    REQUIRE(record.waitFor("end"));
    for (auto& line : record.lines()) {
        CAPTURE(line);
        if (line.starts_with("refs ") || line.starts_with("release ")) CHECK(line.ends_with(" 0"));
        CHECK_FALSE(line.starts_with("unexpected "));
    }
}

Garden::Garden() : Garden(Options{}) {}

Garden::Garden(Options options) : shell(options.layout), app(App::fullSite, options.failure, false), record(app.log.wstring()) {
    if (options.program) {
        wchar_t tests[MAX_PATH];
        GetModuleFileNameW(nullptr, tests, MAX_PATH);
        std::filesystem::copy_file(std::filesystem::path(tests).parent_path().parent_path() / options.program, app.folder / L"verdalune.exe",
                                   std::filesystem::copy_options::overwrite_existing);
    }
    app.start();
    REQUIRE(app.windows());
    REQUIRE(pages(1));
    control = record.control();
    REQUIRE(control);
    if (options.place == wall) {
        page(L"showWall");
        REQUIRE(parentOf(app.view) == shell.place());
    }
}

bool Garden::pages(size_t n) {
    return record.waitFor([&](auto& lines) { return static_cast<size_t>(std::count(lines.begin(), lines.end(), loaded)) >= n; });
}

void Garden::send(int kind, const std::wstring& text) {
    // The line the stand-in writes once the program has handled the event.
    std::string_view done = kind == fake::navigate || kind == fake::navigateNull ? "navigation "
                            : kind == fake::processFailed                       ? "failure-done "
                            : kind == fake::newWindow                           ? "new-window-done "
                            : kind == fake::newVersion                          ? "new-version-done"
                                                                                : "message-done";
    size_t before = count(done);
    REQUIRE(fake::drive(control, kind, text));
    REQUIRE(record.waitFor([&](auto& lines) { return countOf(lines, done) > before; }));
}

void Garden::quit() {
    PostMessageW(app.owner, WM_CLOSE, 0, 0);
    CHECK(app.exitCode() == DWORD(0));
    checkReleased(record);
}
