# bash completion for varek-server, varek-read, varek-sim and VarekPowerStudio.
# Installed once per command name so that bash-completion finds it on demand;
# every copy defines all four, which keeps the option lists in one place.

# Serial devices first: they are what the first argument almost always is.
_varek_serial_ports() {
    local cur=$1 devices
    devices=$(compgen -G '/dev/ttyUSB*'; compgen -G '/dev/ttyACM*'; compgen -G '/dev/serial/by-id/*')
    COMPREPLY=($(compgen -W "$devices" -- "$cur"))
    [[ ${#COMPREPLY[@]} -eq 0 ]] && COMPREPLY=($(compgen -f -- "$cur"))
}

# Options come in name/value pairs; complete a value after a name, a name after a value.
_varek_server() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    if [[ $COMP_CWORD -eq 1 ]]; then
        _varek_serial_ports "$cur"
        return
    fi
    case $prev in
        --poll) COMPREPLY=($(compgen -W '1 2 5 10' -- "$cur")); return ;;
        --record) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --bind) COMPREPLY=($(compgen -W '0.0.0.0 127.0.0.1' -- "$cur")); return ;;
        --http-port | --scpi-port | --metrics-port | --record-days | --max-voltage | --max-current)
            return ;;
    esac
    if (((COMP_CWORD - 2) % 2 == 0)); then
        COMPREPLY=($(compgen -W '--http-port --scpi-port --bind --poll --record --record-days
                                  --metrics-port --max-voltage --max-current' -- "$cur"))
    fi
}

_varek_read() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    case $COMP_CWORD in
        1) _varek_serial_ports "$cur" ;;
        2) COMPREPLY=($(compgen -W '--benchmark' -- "$cur")) ;;
        3) [[ $prev == --benchmark ]] && COMPREPLY=($(compgen -W '1 2 5 10' -- "$cur")) ;;
    esac
}

_varek_sim() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        --link | --log) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --serial | --firmware | --station | --load | --latency | --baud) return ;;
    esac
    COMPREPLY=($(compgen -W '--link --serial --firmware --station --load --latency --baud --log' -- "$cur"))
}

_varek_power_studio() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        --connect) _varek_serial_ports "$cur"; return ;;
        --refresh) COMPREPLY=($(compgen -W '1 2 5 10' -- "$cur")); return ;;
        --evidence | --token-file) COMPREPLY=($(compgen -f -- "$cur")); return ;;
        --remote) return ;;
    esac
    COMPREPLY=($(compgen -W '--connect --remote --token-file --refresh --evidence' -- "$cur"))
}

complete -F _varek_server -o filenames varek-server
complete -F _varek_read -o filenames varek-read
complete -F _varek_sim -o filenames varek-sim
complete -F _varek_power_studio -o filenames VarekPowerStudio
