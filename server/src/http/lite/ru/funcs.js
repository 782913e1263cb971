// Shared by every page: the menu, the state line of the module pages and small form helpers.
// Page values reach the script only through data-* attributes, never inside script text.
"use strict";

function pageFlag(name) {
    return document.body.getAttribute("data-" + name) === "true";
}

function buildMenu() {
    var nav = document.getElementById("menu");
    if (!nav)
        return;
    var items = [
        ["index.htm", "Главная"],
        ["status.htm", "Состояние"],
        ["sip-module.htm", "SIP"],
        ["sip-settings.htm", "Настройки SIP"],
        ["sip-accounts.htm", "Абоненты SIP"],
        ["sip-groups.htm", "Группы SIP"],
        ["velk-module.htm", "Домофоны"],
        ["velk-settings.htm", "Настройки домофонов"],
        ["velk-dialplan.htm", "План набора"],
        ["velk-devices.htm", "Устройства"]
    ];
    if (pageFlag("admin")) {
        items.push(["admin-module.htm", "Веб-сервер"]);
        items.push(["admin-settings.htm", "Настройки веб-сервера"]);
        items.push(["admin-users.htm", "Пользователи"]);
    }
    items.push(["sys-info.htm", "Система"]);
    items.push(["index.htm?logout", "Выход"]);
    var here = location.pathname.replace(/^\//, "") || "index.htm";
    items.forEach(function (item) {
        var a = document.createElement("a");
        a.href = item[0];
        a.textContent = item[1];
        if (item[0] === here)
            a.className = "current";
        nav.appendChild(a);
    });
}

var listenerStates = {
    "-1": "не запущен",
    "0": "определение адреса",
    "1": "адрес не найден, повтор",
    "2": "ожидание порта",
    "3": "работает"
};

// The state line of a module page from its data-* values.
function getAdminState(el) {
    var d = el.dataset;
    var text = "Состояние: " + (listenerStates[d.state] || d.state);
    if (d.state === "3")
        text += ", адрес " + d.address + ", порт " + d.port;
    if (d.error !== "-1" && d.errorString)
        text += " (ошибка " + d.error + ": " + d.errorString + ")";
    el.textContent = text;
    el.className = d.state === "3" ? "state ok" : "state bad";
}

var errorTexts = {
    "not_found": "Пользователь не найден: ",
    "already_exist": "Пользователь уже существует: ",
    "bad_name": "Недопустимое имя пользователя: "
};

function showError(el) {
    var code = el.getAttribute("data-error");
    if (!code || code.indexOf("${") === 0)
        return;
    var id = el.getAttribute("data-id") || "";
    el.textContent = (errorTexts[code] || "Ошибка: ") + (id.indexOf("${") === 0 ? "" : id);
    el.hidden = false;
}

// Selects and check boxes take their current value from a data-value attribute.
function applyValues() {
    document.querySelectorAll("select[data-value]").forEach(function (s) {
        s.value = s.getAttribute("data-value");
    });
    document.querySelectorAll("input[type=checkbox][data-value]").forEach(function (c) {
        c.checked = c.getAttribute("data-value") === "true";
    });
}

function confirmDelete(form) {
    form.addEventListener("submit", function (e) {
        var b = e.submitter;
        if (b && b.name === "__delete" && !confirm("Удалить пользователя " + b.value + "?"))
            e.preventDefault();
    });
}

document.addEventListener("DOMContentLoaded", function () {
    buildMenu();
    document.querySelectorAll(".state[data-state]").forEach(getAdminState);
    document.querySelectorAll(".error[data-error]").forEach(showError);
    applyValues();
    var ver = document.getElementById("version");
    var version = document.body.getAttribute("data-version");
    if (ver && version)
        ver.textContent = "Версия " + version;
});
