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

var sipStates = {
    "-1": "не подключен",
    "0": "определение адреса",
    "1": "адрес не найден, повтор",
    "2": "подключение",
    "3": "работает"
};

// The state line of a module page from its data-* values.
function getAdminState(el) {
    var d = el.dataset;
    var states = d.kind === "sip" ? sipStates : listenerStates;
    var text = "Состояние: " + (states[d.state] || d.state);
    if (d.state === "3")
        text += ", адрес " + d.address + ", порт " + d.port;
    if (d.error !== "-1" && d.errorString)
        text += " (ошибка " + d.error + ": " + d.errorString + ")";
    el.textContent = text;
    el.className = d.state === "3" ? "state ok" : "state bad";
}

var errorTexts = {
    "not_found": "Запись не найдена: ",
    "already_exist": "Запись уже существует: ",
    "bad_name": "Недопустимое имя: ",
    "not_saved": "Изменение не записано в файл настроек (причина в журнале): ",
    "last_admin": "Нельзя удалить последнего администратора или лишить его прав: ",
    "placeholder_firmware": "Обновление прошивки отклонено (в сборке только заглушки вместо прошивки): устройство ",
    "not_registered": "Обновление прошивки не начато: устройство не зарегистрировано: ",
    "firmware_updating": "Обновление прошивки не начато: устройство уже обновляется: ",
    "no_firmware_image": "Обновление прошивки не начато: нет прошивки для типа оборудования устройства "
};

// Errors of one field of a settings or account form.
var fieldErrorTexts = {
    "wrong_ip": "Недопустимый адрес",
    "wrong_port": "Порт должен быть числом от 1 до 65535",
    "wrong_range": "Диапазон портов пуст или слишком мал",
    "wrong_number": "Недопустимое число",
    "wrong_codec": "Неизвестный или повторный кодек",
    "wrong_value": "Недопустимое значение",
    "wrong_relay_mode": "Режим реле: 0, 1 или 2, затем через запятую необязательное значение от 0 до 255"
};

function filled(value) {
    return value && value.indexOf("${") !== 0 ? value : "";
}

function showError(el) {
    var code = filled(el.getAttribute("data-error"));
    if (!code)
        return;
    var id = filled(el.getAttribute("data-id"));
    var field = filled(el.getAttribute("data-field"));
    var input = field ? document.getElementById(field) : null;
    if (fieldErrorTexts[code]) {
        var label = input ? document.querySelector("label[for='" + field + "']") : null;
        el.textContent = fieldErrorTexts[code] + (label ? ": " + label.textContent : "");
    } else {
        el.textContent = (errorTexts[code] || "Ошибка: ") + id;
    }
    if (input) {
        input.classList.add("invalid");
        input.focus();
    }
    el.hidden = false;
}

// The name of an entry is its key: it stays as it is while the entry is edited.
function fixIdWhileEditing() {
    var form = document.querySelector("form[data-action]");
    var id = document.getElementById("user-id");
    if (form && id && form.getAttribute("data-action") === "edit")
        id.readOnly = true;
}

var deviceStates = ["не зарегистрировано", "готово", "занято", "загрузчик без прошивки",
    "обновление прошивки"];

// The device form: its number stays while it is edited, the firmware part shows the live
// state, and keypad codes can be added as pairs of inputs.
function deviceForm() {
    var form = document.getElementById("device-form");
    var editing = form.getAttribute("data-action") === "edit";
    document.getElementById("device-id").readOnly = editing;
    var firmware = document.getElementById("firmware-form");
    var state = filled(firmware.getAttribute("data-state"));
    firmware.hidden = !editing;
    var line = document.getElementById("firmware-state");
    var text = "Состояние: " + (state ? deviceStates[state] || state : "нет связи");
    if (state === "4")
        text += ", " + line.dataset.progress + " %";
    if (filled(line.dataset.version))
        text += "; версия файла прошивки " + line.dataset.version;
    line.textContent = text;
    var list = document.getElementById("dpm-mode-list-code");
    document.getElementById("dpm-add").addEventListener("click", function () {
        var id = "n" + Date.now().toString(16) + Math.floor(Math.random() * 65536).toString(16);
        var box = document.getElementById("dpm-entries");
        [["_code", "Код"], ["_value", "Вызываемый номер"]].forEach(function (part, i) {
            if (i === 1)
                box.appendChild(document.createTextNode(" -> "));
            var input = document.createElement("input");
            input.type = "text";
            input.name = input.id = id + part[0];
            input.placeholder = part[1];
            box.appendChild(input);
        });
        box.appendChild(document.createElement("br"));
        var ids = filled(list.value);
        list.value = ids ? ids + "," + id : id;
    });
}

function showSipMode(el) {
    el.textContent = "Режим: " + (pageFlag("standalone") ? "собственный SIP-сервер"
        : "шлюз через внешний SIP-сервер") + ", транспорт " + el.dataset.transport.toUpperCase();
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
        if (b && b.name === "__delete" && !confirm("Удалить " + b.value + "?"))
            e.preventDefault();
    });
}

document.addEventListener("DOMContentLoaded", function () {
    buildMenu();
    document.querySelectorAll(".state[data-state]").forEach(getAdminState);
    applyValues();
    document.querySelectorAll(".error[data-error]").forEach(showError);
    var mode = document.getElementById("sip-mode");
    if (mode)
        showSipMode(mode);
    var ver = document.getElementById("version");
    var version = document.body.getAttribute("data-version");
    if (ver && version)
        ver.textContent = "Версия " + version;
});
