# bash completion for orvex-lookout                                    -*- shell-script -*-
# Stands alone: it uses none of bash-completion's helpers, so that sourcing it is enough.

_orvex_lookout() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  # --color=WHEN: bash splits the word at '=', so the option stands two words back.
  if [[ $prev == = && COMP_CWORD -gt 1 ]]; then
    prev=${COMP_WORDS[COMP_CWORD - 2]}
  elif [[ $cur == =* ]]; then
    prev=$prev cur=${cur#=}
  fi

  local options="-h --help -V --version -S --since -U --until -d --days-back -t --today
    -a --all -n --count -f --follow -F --follow-name -p --priority -s --source -o --format
    -m --more-info -r --raw --iso-date -g --grep --case-sensitive --reverse --rotated --json
    --stats --color --nocolor --no-color -j --jobs --list-types --settings-dir"

  case $prev in
    -p | --priority)
      # A comma-separated list or a range: complete the last name written.
      local last=${cur##*[,.]}
      local head=${cur%"$last"}
      local name names=(emerg alert crit err warning notice info debug)
      COMPREPLY=()
      for name in "${names[@]}"; do
        [[ $name == "$last"* ]] && COMPREPLY+=("$head$name")
      done
      return
      ;;
    --color)
      mapfile -t COMPREPLY < <(compgen -W "auto always never" -- "$cur")
      return
      ;;
    -S | --since | -U | --until)
      mapfile -t COMPREPLY < <(compgen -W "today yesterday now" -- "$cur")
      return
      ;;
    -o | --format)
      mapfile -t COMPREPLY < <(compgen -W "%ISODATE %PRIORITY %source %type_en %name_en
        %type_ru %name_ru %HOST %INPUT" -- "$cur")
      return
      ;;
    --settings-dir)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      return
      ;;
    -d | --days-back | -n | --count | -j | --jobs | -s | --source | -g | --grep)
      COMPREPLY=()
      return
      ;;
  esac

  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    return
  fi
  compopt -o filenames 2>/dev/null
  mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}
complete -F _orvex_lookout orvex-lookout
